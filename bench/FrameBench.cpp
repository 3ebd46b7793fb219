// Measures the frame cycle of the loading screen at 800 x 480: one progress update draws the
// background, the identity texts, the progress frame, the bar and the message, and posts the
// frame. Prints the median and the slowest time per frame.
//
//   frame_bench [FRAMES]    default 500
//
// Exit status: 0 after the run, 2 for a wrong argument.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "BenchSupport.h"
#include "CoreSystem/Console.h"
#include "TestSupport.h"
#include "boot/ui/UIManager.h"
#include "platform/Clock.h"

namespace {

using CoreSystem::Console;
using Duration = Platform::Clock::Duration;

constexpr int defaultFrames = 500;

double milliseconds(Duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

}  // namespace

int main(int argc, char* argv[]) {
    int frames = defaultFrames;
    if (argc == 2) {
        const std::string_view text(argv[1]);
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), frames);
        if (error != std::errc{} || end != text.data() + text.size() || frames <= 0) {
            frames = 0;
        }
    }
    if (argc > 2 || frames <= 0) {
        Console::print("usage: frame_bench [FRAMES]\n");
        return 2;
    }
    // A unit root of its own under /tmp for the window's frames, removed at the end.
    const TestSupport::TemporaryUnitRoot root;
    {
        Boot::UIManager ui(nullptr);
        ui.setLayout(2);
        ui.runDirectInstall({});  // the loading screen, current; nothing to install
        // One frame first, so that decoding the images and loading the face are not counted.
        ui.reportProgress(0, "Installing Application");
        std::vector<Duration> times;
        times.reserve(static_cast<std::size_t>(frames));
        for (int frame = 0; frame < frames; ++frame) {
            const int percent = frame % 101;
            times.push_back(
                BenchSupport::timed([&] { ui.reportProgress(percent, "Installing Application"); }));
        }
        std::sort(times.begin(), times.end());
        Console::printf("frame_bench: %d frames at %d x %d, median %.3f ms, slowest %.3f ms\n",
                        frames, ui.width(), ui.height(), milliseconds(times[times.size() / 2]),
                        milliseconds(times.back()));
        ui.window().flush();
    }
    return 0;
}
