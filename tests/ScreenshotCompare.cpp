#include "ScreenshotCompare.h"

#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/ScreenWindow.h"

namespace TestSupport {

namespace {

// Anti-aliased edges and glyphs may come out a little differently with another FreeType or
// compiler; a pixel counts as different only beyond this, and a few may differ.
constexpr int channelTolerance = 24;
constexpr double differingFractionAllowed = 0.002;

bool updatingReferences() {
    const char* update = std::getenv("UPDATE_SCREENSHOTS");
    return update != nullptr && std::strcmp(update, "1") == 0;
}

bool pixelsDiffer(const std::uint8_t* first, const std::uint8_t* second) {
    for (int channel = 0; channel < 4; ++channel) {
        if (std::abs(first[channel] - second[channel]) > channelTolerance) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::array<std::uint8_t, 4> Screenshot::pixelYUp(int x, int y) const {
    const auto offset =
        (static_cast<std::size_t>(height - 1 - y) * static_cast<std::size_t>(width) +
         static_cast<std::size_t>(x)) *
        4;
    return {rgba.at(offset), rgba.at(offset + 1), rgba.at(offset + 2), rgba.at(offset + 3)};
}

Screenshot captureWindow(Platform::ScreenWindow& window) {
    Screenshot screenshot{window.width(), window.height(), {}};
    screenshot.rgba.resize(static_cast<std::size_t>(window.width()) *
                           static_cast<std::size_t>(window.height()) * 4);
    std::uint8_t* target = screenshot.rgba.data();
    for (int row = 0; row < window.height(); ++row) {
        const std::uint8_t* source =
            window.pixels() + static_cast<std::ptrdiff_t>(row) * window.stride();
        for (int column = 0; column < window.width(); ++column, source += 4, target += 4) {
            target[0] = source[2];
            target[1] = source[1];
            target[2] = source[0];
            target[3] = source[3];
        }
    }
    return screenshot;
}

std::optional<Screenshot> readPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
        return std::nullopt;
    }
    image.format = PNG_FORMAT_RGBA;
    Screenshot screenshot{static_cast<int>(image.width), static_cast<int>(image.height), {}};
    screenshot.rgba.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, screenshot.rgba.data(), 0, nullptr) == 0) {
        png_image_free(&image);
        return std::nullopt;
    }
    return screenshot;
}

bool writePng(const std::string& path, const Screenshot& screenshot) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(screenshot.width);
    image.height = static_cast<png_uint_32>(screenshot.height);
    image.format = PNG_FORMAT_RGBA;
    return png_image_write_to_file(&image, path.c_str(), 0, screenshot.rgba.data(), 0, nullptr) !=
           0;
}

::testing::AssertionResult matchesReference(const Screenshot& actual, const std::string& name) {
    const std::string referencePath = std::string(SCREENSHOT_DIR) + "/" + name + ".png";
    if (updatingReferences()) {
        return writePng(referencePath, actual)
                   ? ::testing::AssertionSuccess() << "wrote " << referencePath
                   : ::testing::AssertionFailure() << "cannot write " << referencePath;
    }
    const std::optional<Screenshot> reference = readPng(referencePath);
    if (!reference) {
        return ::testing::AssertionFailure()
               << "no reference " << referencePath << " (UPDATE_SCREENSHOTS=1 makes it)";
    }
    if (reference->width != actual.width || reference->height != actual.height) {
        return ::testing::AssertionFailure()
               << name << ": " << actual.width << " x " << actual.height << ", reference "
               << reference->width << " x " << reference->height;
    }
    Screenshot difference = actual;
    std::size_t differing = 0;
    for (std::size_t offset = 0; offset < actual.rgba.size(); offset += 4) {
        const bool differs =
            pixelsDiffer(actual.rgba.data() + offset, reference->rgba.data() + offset);
        differing += differs ? 1 : 0;
        // Differences in red over a faded copy of the picture.
        for (std::size_t channel = 0; channel < 3; ++channel) {
            const int faded = actual.rgba[offset + channel] / 4;
            difference.rgba[offset + channel] =
                static_cast<std::uint8_t>(differs ? (channel == 0 ? 255 : 0) : faded);
        }
        difference.rgba[offset + 3] = 255;
    }
    const std::size_t pixelCount = actual.rgba.size() / 4;
    if (static_cast<double>(differing) <=
        differingFractionAllowed * static_cast<double>(pixelCount)) {
        return ::testing::AssertionSuccess();
    }
    const std::filesystem::path failures = SCREENSHOT_FAILURE_DIR;
    std::filesystem::create_directories(failures);
    writePng((failures / (name + ".actual.png")).string(), actual);
    writePng((failures / (name + ".diff.png")).string(), difference);
    return ::testing::AssertionFailure()
           << name << ": " << differing << " of " << pixelCount << " pixels differ; see "
           << (failures / (name + ".diff.png")).string();
}

}  // namespace TestSupport
