// Measures the loading screen's frames at the window size of every display configuration. Each
// frame moves the bar and changes the message, so that all of it is drawn: the background, the
// identity texts, the progress frame, the bar and the message. Drawing and posting are timed
// apart: drawing is the loader's work on its own thread; posting is what the window does with the
// frame until it is in dev/screen/frame.png (the post itself and the writing that follows it).
//
//   frame_bench [FRAMES]    frames per window size, default 200
//
// Prints the median and the slowest time of each size, then one line
//   result frame_median_ms=... frame_slowest_ms=... post_median_ms=... post_slowest_ms=...
// with the largest median and the slowest frame over all sizes.
// Exit status: 0 after the run, 2 for a wrong argument.
#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "BenchSupport.h"
#include "CoreSystem/Console.h"
#include "TestSupport.h"
#include "boot/ui/UIManager.h"
#include "boot/ui/UIState.h"
#include "platform/Clock.h"

namespace {

using CoreSystem::Console;
using Duration = Platform::Clock::Duration;

constexpr int defaultFrames = 200;

// A window size of the payload's display configurations and the layout that goes with it.
struct Display {
    int width;
    int height;
    int layout;
};
// 1920 x 720 has no layout of its own; the wide layout stretches the background over it.
constexpr std::array<Display, 4> displays{{
    {800, 480, 2},
    {1280, 480, 10},
    {1280, 768, 11},
    {1920, 720, 11},
}};

constexpr std::array<const char*, 4> messages{
    "Verifying install package...",
    "Updating Application...",
    "Updating Configuration...",
    "Updating Media...",
};

double milliseconds(Duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

struct Timings {
    double medianMs = 0;
    double slowestMs = 0;
};

Timings summarise(std::vector<Duration>& times) {
    std::sort(times.begin(), times.end());
    return {milliseconds(times[times.size() / 2]), milliseconds(times.back())};
}

struct DisplayTimings {
    Timings drawing;
    Timings posting;
};

DisplayTimings measure(const Display& display, int frames) {
    // A unit root of its own under /tmp with this window size, removed at the end.
    const TestSupport::TemporaryUnitRoot root;
    root.writeFile("/tmp/graphics.conf", "video-mode = " + std::to_string(display.width) + " x " +
                                             std::to_string(display.height) + " @ 60\n");
    Boot::UIManager ui(nullptr);
    ui.setLayout(display.layout);
    ui.runDirectInstall({});  // the loading screen, current; nothing to install
    Boot::UIState& loading = *ui.currentState();
    Platform::ScreenWindow& window = ui.window();
    // One frame first, so that decoding the images and loading the face are not counted.
    loading.updateProgress(0, messages[0]);
    ui.render(loading);
    window.flush();

    std::vector<Duration> drawing;
    std::vector<Duration> posting;
    drawing.reserve(static_cast<std::size_t>(frames));
    posting.reserve(static_cast<std::size_t>(frames));
    for (int frame = 0; frame < frames; ++frame) {
        loading.updateProgress(frame % 101,
                               messages[static_cast<std::size_t>(frame) % messages.size()]);
        drawing.push_back(BenchSupport::timed([&] { ui.draw(loading); }));
        posting.push_back(BenchSupport::timed([&] {
            window.post();
            window.flush();
        }));
    }
    return {summarise(drawing), summarise(posting)};
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
    Timings drawing;
    Timings posting;
    for (const Display& display : displays) {
        const DisplayTimings timings = measure(display, frames);
        Console::printf(
            "frame_bench: %d frames at %d x %d (layout %d): drawing median %.3f ms, slowest "
            "%.3f ms; posting median %.3f ms, slowest %.3f ms\n",
            frames, display.width, display.height, display.layout, timings.drawing.medianMs,
            timings.drawing.slowestMs, timings.posting.medianMs, timings.posting.slowestMs);
        drawing.medianMs = std::max(drawing.medianMs, timings.drawing.medianMs);
        drawing.slowestMs = std::max(drawing.slowestMs, timings.drawing.slowestMs);
        posting.medianMs = std::max(posting.medianMs, timings.posting.medianMs);
        posting.slowestMs = std::max(posting.slowestMs, timings.posting.slowestMs);
    }
    Console::printf(
        "result frame_median_ms=%.3f frame_slowest_ms=%.3f post_median_ms=%.3f "
        "post_slowest_ms=%.3f\n",
        drawing.medianMs, drawing.slowestMs, posting.medianMs, posting.slowestMs);
    return 0;
}
