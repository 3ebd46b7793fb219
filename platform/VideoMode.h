#pragma once

#include <optional>
#include <string_view>

namespace Platform {

// A display size in pixels.
struct VideoMode {
    int width = 0;
    int height = 0;
};

// The size named by the first well-formed "video-mode = W x H @ R" line of a display
// configuration, or nothing when it names none. Sizes beyond `largestSide` in either direction
// count as damaged.
[[nodiscard]] std::optional<VideoMode> parseVideoMode(std::string_view configuration);

constexpr int largestSide = 8192;

}  // namespace Platform
