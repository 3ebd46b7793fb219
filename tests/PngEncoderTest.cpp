#include "platform/PngEncoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/ScreenshotCompare.h"
#include "tests/TestSupport.h"

namespace Platform {
namespace {

// A BGRA picture with rows `stride` bytes apart; the bytes past each row's pixels are padding.
struct Picture {
    int width;
    int height;
    int stride;
    std::vector<std::uint8_t> bytes;

    Picture(int pictureWidth, int pictureHeight, int padding)
        : width(pictureWidth),
          height(pictureHeight),
          stride(pictureWidth * 4 + padding),
          bytes(static_cast<std::size_t>(stride) * static_cast<std::size_t>(pictureHeight)) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                setPixel(x, y,
                         {static_cast<std::uint8_t>(x * 7), static_cast<std::uint8_t>(y * 5),
                          static_cast<std::uint8_t>(x ^ y), static_cast<std::uint8_t>(200 + x)});
            }
        }
    }

    void setPixel(int x, int y, std::array<std::uint8_t, 4> bgra) {
        std::uint8_t* pixel = bytes.data() + static_cast<std::ptrdiff_t>(y) * stride +
                              static_cast<std::ptrdiff_t>(x) * 4;
        std::copy(bgra.begin(), bgra.end(), pixel);
    }

    // What a PNG of this picture must decode to: RGBA rows without padding.
    std::vector<std::uint8_t> rgba() const {
        std::vector<std::uint8_t> result;
        for (int y = 0; y < height; ++y) {
            const std::uint8_t* row = bytes.data() + static_cast<std::ptrdiff_t>(y) * stride;
            for (int x = 0; x < width; ++x) {
                const std::uint8_t* pixel = row + static_cast<std::ptrdiff_t>(x) * 4;
                result.insert(result.end(), {pixel[2], pixel[1], pixel[0], pixel[3]});
            }
        }
        return result;
    }
};

// Each step changes the picture (or not), encodes it with the same encoder as the steps before
// it, and reads the file back with libpng, which checks every CRC and the zlib checksum.
TEST(PngEncoderTest, EveryFrameDecodesToItsPixelsWhicheverBandsChanged) {
    const TestSupport::TemporaryUnitRoot root;
    const std::string path = root.path() + "/frame.png";
    // 45 rows: two whole bands of 16 rows and a last one of 13.
    const Picture first(37, 45, 12);
    Picture picture = first;
    struct Step {
        const char* what;
        std::function<void(Picture&)> change;
        bool sameAsBefore;
    };
    const std::vector<Step> steps{
        {"first frame", [](Picture&) {}, false},
        {"the same pixels again", [](Picture&) {}, true},
        {"only the padding changed",
         [](Picture& p) { p.bytes.at(static_cast<std::size_t>(p.width) * 4) ^= 0xFFU; }, true},
        {"one pixel in the last, short band",
         [](Picture& p) {
             p.setPixel(36, 44, {1, 2, 3, 4});
         },
         false},
        {"one pixel in the first row of the middle band",
         [](Picture& p) {
             p.setPixel(0, PngEncoder::bandRows, {9, 9, 9, 9});
         },
         false},
        {"back to the first frame", [&first](Picture& p) { p = first; }, false},
        {"a smaller window", [](Picture& p) { p = Picture(20, 17, 0); }, false},
        {"a single row", [](Picture& p) { p = Picture(5, 1, 0); }, false},
    };
    PngEncoder encoder;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.change(picture);
        const PngEncoder::Encoded encoded =
            encoder.encode(picture.bytes.data(), picture.width, picture.height, picture.stride);
        EXPECT_EQ(encoded.sameAsBefore, step.sameAsBefore);
        TestSupport::writeHostFile(
            path, std::string_view(reinterpret_cast<const char*>(encoded.png.data()),
                                   encoded.png.size()));
        const std::optional<TestSupport::Screenshot> decoded = TestSupport::readPng(path);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(decoded->width, picture.width);
        EXPECT_EQ(decoded->height, picture.height);
        EXPECT_EQ(decoded->rgba, picture.rgba());
    }
}

}  // namespace
}  // namespace Platform
