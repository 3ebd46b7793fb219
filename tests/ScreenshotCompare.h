#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Platform {
class ScreenWindow;
}

namespace TestSupport {

// A picture as RGBA bytes, rows top to bottom.
struct Screenshot {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;

    // The pixel at (x, y) with y counted upwards from the bottom row, as the screens draw.
    std::array<std::uint8_t, 4> pixelYUp(int x, int y) const;
};

// What the window's render buffer holds now.
Screenshot captureWindow(Platform::ScreenWindow& window);
std::optional<Screenshot> readPng(const std::string& path);
bool writePng(const std::string& path, const Screenshot& screenshot);

// Compares `actual` with the reference picture `name`.png in tests/screenshots. On a mismatch,
// writes name.actual.png and name.diff.png (differing pixels in red) into
// tests/screenshot-failures/ of the build tree. With UPDATE_SCREENSHOTS=1 in the environment
// the reference is written instead.
::testing::AssertionResult matchesReference(const Screenshot& actual, const std::string& name);

}  // namespace TestSupport
