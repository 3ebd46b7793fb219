// Feeds arbitrary text to the display configuration reader: a size it finds lies within the
// bounds a window can have, and written out again as a video-mode line it reads back the same.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "platform/VideoMode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Platform::parseVideoMode;
    using Platform::VideoMode;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<VideoMode> mode = parseVideoMode(text);
    if (!mode) {
        return 0;
    }
    const auto inBounds = [](int side) { return side >= 1 && side <= Platform::largestSide; };
    if (!inBounds(mode->width) || !inBounds(mode->height)) {
        std::abort();
    }
    const std::string line = "video-mode = " + std::to_string(mode->width) + " x " +
                             std::to_string(mode->height) + " @ 60\n";
    const std::optional<VideoMode> again = parseVideoMode(line);
    if (!again || again->width != mode->width || again->height != mode->height) {
        std::abort();
    }
    return 0;
}
