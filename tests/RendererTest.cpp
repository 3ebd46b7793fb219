#include "boot/ui/Renderer.h"

#include <gtest/gtest.h>
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "assets/UiAssets.h"
#include "boot/ui/ImageCatalogue.h"

namespace Boot {

// Comparing and printing colours in assertions (found through the type's namespace).
bool operator==(Color a, Color b) {
    return a.red == b.red && a.green == b.green && a.blue == b.blue && a.alpha == b.alpha;
}

void PrintTo(Color color, std::ostream* out) {
    *out << "(" << int(color.red) << ", " << int(color.green) << ", " << int(color.blue) << ", "
         << int(color.alpha) << ")";
}

namespace {

constexpr Color white{255, 255, 255, 255};
constexpr Color red{255, 0, 0, 255};
constexpr Color green{0, 255, 0, 255};
constexpr Color blue{0, 0, 255, 255};
constexpr Color black{0, 0, 0, 255};

// A white BGRA buffer with a renderer attached, set up as the screens do: y up from the bottom
// edge (scale (1, -1), then translate (0, height)).
class Canvas {
public:
    Canvas(int width, int height, bool yUp = true)
        : width_(width),
          height_(height),
          pixels_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) {
        renderer.attach(pixels_.data(), width, height, width * 4);
        renderer.clearAll(white);
        renderer.resetTransformations();
        if (yUp) {
            renderer.scale(1, -1);
            renderer.translate(0, height);
        }
    }

    // The colour of the buffer pixel in column x, row y (rows counted from the top).
    Color at(int x, int y) const {
        const std::uint8_t* pixel =
            &pixels_[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                      static_cast<std::size_t>(x)) *
                     4];
        return {pixel[2], pixel[1], pixel[0], pixel[3]};
    }

    struct Box {
        int left = 0, top = 0, right = -1, bottom = -1;
        bool empty() const { return right < left; }
    };
    // The smallest box (buffer rows from the top) holding every pixel that is not white.
    Box inkBox() const {
        Box box{width_, height_, -1, -1};
        for (int y = 0; y < height_; ++y) {
            for (int x = 0; x < width_; ++x) {
                if (!(at(x, y) == white)) {
                    box.left = std::min(box.left, x);
                    box.right = std::max(box.right, x);
                    box.top = std::min(box.top, y);
                    box.bottom = std::max(box.bottom, y);
                }
            }
        }
        return box;
    }
    int inkInRow(int y) const {
        int count = 0;
        for (int x = 0; x < width_; ++x) {
            count += at(x, y) == white ? 0 : 1;
        }
        return count;
    }

    int width() const { return width_; }
    int height() const { return height_; }

    Renderer renderer;

private:
    int width_;
    int height_;
    std::vector<std::uint8_t> pixels_;
};

bool near(Color a, Color b, int tolerance) {
    return std::abs(a.red - b.red) <= tolerance && std::abs(a.green - b.green) <= tolerance &&
           std::abs(a.blue - b.blue) <= tolerance && std::abs(a.alpha - b.alpha) <= tolerance;
}

Bitmap makeBitmap(int width, int height, const std::vector<Color>& colors) {
    Bitmap bitmap{width, height, {}};
    for (const Color color : colors) {
        bitmap.pixels.insert(bitmap.pixels.end(),
                             {color.blue, color.green, color.red, color.alpha});
    }
    return bitmap;
}

TEST(RendererTest, FilledRectangleCoversExactlyItsPixelsInTheYUpSetUp) {
    Canvas canvas(40, 30);
    canvas.renderer.fillColor(red);
    canvas.renderer.noOutline();
    canvas.renderer.resetPath();
    canvas.renderer.rectangle(5, 4, 15, 10);
    canvas.renderer.drawPath(DrawMode::fillAndOutline);

    // y 4..10 upwards from the bottom edge is buffer rows 20..25.
    for (int y = 0; y < canvas.height(); ++y) {
        for (int x = 0; x < canvas.width(); ++x) {
            const bool inside = x >= 5 && x < 15 && y >= 20 && y < 26;
            ASSERT_EQ(canvas.at(x, y), inside ? red : white) << "at " << x << ", " << y;
        }
    }
}

TEST(RendererTest, RoundedRectangleOutlineLiesOnItsEdgeAndTheFillInside) {
    for (const bool filled : {true, false}) {
        SCOPED_TRACE(filled ? "filled" : "outline only");
        Canvas canvas(40, 30);
        canvas.renderer.fillColor(green);
        if (!filled) {
            canvas.renderer.noFill();
        }
        canvas.renderer.lineColor(blue);
        canvas.renderer.lineWidth(2);
        canvas.renderer.resetPath();
        canvas.renderer.roundedRectangle(5, 5, 35, 25, 5);
        canvas.renderer.drawPath(DrawMode::fillAndOutline);

        // Bottom edge y = 5 is buffer row 25; a 2-pixel line covers rows 24 and 25 fully.
        EXPECT_EQ(canvas.at(20, 24), blue);
        EXPECT_EQ(canvas.at(20, 25), blue);
        EXPECT_EQ(canvas.at(5, 15), blue);  // left edge, mid height
        EXPECT_EQ(canvas.at(20, 15), filled ? green : white);
        EXPECT_EQ(canvas.at(2, 15), white);
        // The corner is rounded: the sharp corner's pixel stays untouched.
        EXPECT_EQ(canvas.at(5, 25), white);
    }
}

TEST(RendererTest, LinearGradientRunsFromItsStartColourToItsEndColour) {
    struct Case {
        const char* name;
        double x1, y1, x2, y2;
        int startX, startY, endX, endY;  // buffer pixels nearest the two points
    };
    const Case cases[] = {
        {"left to right", 0, 0, 64, 0, 0, 10, 63, 10},
        // In y-up coordinates the start point (0, 0) is the bottom row of the buffer.
        {"bottom to top", 0, 0, 0, 64, 10, 63, 10, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Canvas canvas(64, 64);
        canvas.renderer.noOutline();
        canvas.renderer.fillLinearGradient(c.x1, c.y1, c.x2, c.y2, red, blue);
        canvas.renderer.resetPath();
        canvas.renderer.rectangle(0, 0, 64, 64);
        canvas.renderer.drawPath(DrawMode::fillAndOutline);

        EXPECT_TRUE(near(canvas.at(c.startX, c.startY), red, 8));
        EXPECT_TRUE(near(canvas.at(c.endX, c.endY), blue, 8));
        const Color middle = canvas.at((c.startX + c.endX) / 2, (c.startY + c.endY) / 2);
        EXPECT_TRUE(near(middle, Color{128, 0, 128, 255}, 8));
    }
}

TEST(RendererTest, TransformedImageIsUprightWithItsTopLeftPixelAtTheUpperLeft) {
    // Top row red, green; bottom row blue, black.
    const Bitmap bitmap = makeBitmap(2, 2, {red, green, blue, black});
    struct Case {
        const char* name;
        double size;  // of the destination square at (10, 10); 2 copies, 4 resamples
    };
    for (const Case c : {Case{"natural size", 2}, Case{"scaled", 4}}) {
        SCOPED_TRACE(c.name);
        Canvas canvas(30, 30);
        canvas.renderer.transformImage(bitmap, 10, 10, 10 + c.size, 10 + c.size);

        const int top = 30 - 10 - static_cast<int>(c.size);
        const int bottom = 30 - 10 - 1;
        const int left = 10;
        const int right = 10 + static_cast<int>(c.size) - 1;
        EXPECT_EQ(canvas.at(left, top), red);
        EXPECT_EQ(canvas.at(right, top), green);
        EXPECT_EQ(canvas.at(left, bottom), blue);
        EXPECT_EQ(canvas.at(right, bottom), black);
        const Canvas::Box box = canvas.inkBox();
        EXPECT_EQ(box.left, left);
        EXPECT_EQ(box.right, right);
        EXPECT_EQ(box.top, top);
        EXPECT_EQ(box.bottom, bottom);
    }
}

TEST(RendererTest, ScaledImageAcrossTheBufferEdgeShowsItsVisiblePart) {
    const Bitmap bitmap = makeBitmap(2, 2, {red, green, blue, black});
    Canvas canvas(30, 30);
    canvas.renderer.transformImage(bitmap, 26, 10, 34, 18);  // columns 26..33, 30 and on cut off

    EXPECT_EQ(canvas.at(26, 12), red);
    EXPECT_EQ(canvas.at(26, 19), blue);
    const Canvas::Box box = canvas.inkBox();
    EXPECT_EQ(box.left, 26);
    EXPECT_EQ(box.right, 29);
    EXPECT_EQ(box.top, 12);
    EXPECT_EQ(box.bottom, 19);
}

TEST(RendererTest, RedrawnScaledImageShowsItsChangedPixels) {
    Bitmap bitmap = makeBitmap(2, 2, std::vector<Color>(4, red));
    Canvas canvas(20, 20);
    canvas.renderer.transformImage(bitmap, 4, 4, 12, 12);
    EXPECT_EQ(canvas.at(8, 11), red);

    // Changed in place: the same storage now holds other pixels.
    const std::vector<std::uint8_t> bluePixels =
        makeBitmap(2, 2, std::vector<Color>(4, blue)).pixels;
    std::copy(bluePixels.begin(), bluePixels.end(), bitmap.pixels.begin());
    canvas.renderer.transformImage(bitmap, 4, 4, 12, 12);
    EXPECT_EQ(canvas.at(8, 11), blue);
}

TEST(RendererTest, TransformedImageBlendsByItsAlpha) {
    const Bitmap halfBlack = makeBitmap(2, 2, std::vector<Color>(4, Color{0, 0, 0, 128}));
    for (const double size : {2.0, 4.0}) {
        Canvas canvas(10, 10);
        canvas.renderer.transformImage(halfBlack, 2, 2, 2 + size, 2 + size);
        EXPECT_TRUE(near(canvas.at(3, 6), Color{127, 127, 127, 255}, 1)) << "size " << size;
        EXPECT_EQ(canvas.at(0, 0), white);
    }
}

TEST(RendererTest, OpaqueImageIsCopiedToThePixelsBlendingWouldGive) {
    struct Case {
        const char* name;
        double x1, y1, x2, y2;
    };
    const Case cases[] = {
        {"natural size", 10, 10, 13, 12},
        {"scaled", 10, 10, 19, 16},
        {"natural size across the buffer edge", 28, 5, 31, 7},
    };
    Bitmap blended = makeBitmap(3, 2, {red, green, blue, black, Color{9, 99, 199, 255}, red});
    Bitmap copied = blended;
    copied.opaque = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Canvas expected(30, 30);
        Canvas actual(30, 30);
        for (Canvas* canvas : {&expected, &actual}) {
            // Something under the image, so that covering it shows.
            canvas->renderer.fillColor(Color{50, 60, 70, 255});
            canvas->renderer.resetPath();
            canvas->renderer.rectangle(0, 0, 30, 20);
            canvas->renderer.drawPath(DrawMode::fillOnly);
        }
        expected.renderer.transformImage(blended, c.x1, c.y1, c.x2, c.y2);
        actual.renderer.transformImage(copied, c.x1, c.y1, c.x2, c.y2);
        for (int y = 0; y < 30; ++y) {
            for (int x = 0; x < 30; ++x) {
                ASSERT_EQ(actual.at(x, y), expected.at(x, y)) << "at " << x << ", " << y;
            }
        }
        EXPECT_EQ(actual.at(static_cast<int>(c.x1), 30 - static_cast<int>(c.y2)), red);
    }
}

TEST(RendererTest, TextIsDrawnWithinTheBoxItsAlignmentGivesAndUpright) {
    // Anchor (100, 50) in y-up coordinates is buffer column 100, row 49/50.
    constexpr int anchorX = 100;
    constexpr int anchorRow = 50;
    constexpr double height = 24;
    struct Case {
        TextAlignment horizontal;
        TextAlignment vertical;
    };
    const TextAlignment alignments[] = {TextAlignment::left, TextAlignment::right,
                                        TextAlignment::center};
    for (const TextAlignment horizontal : alignments) {
        for (const TextAlignment vertical : alignments) {
            SCOPED_TRACE(testing::Message()
                         << "horizontal " << int(horizontal) << ", vertical " << int(vertical));
            Canvas canvas(200, 100);
            canvas.renderer.font(Assets::uiFontFace(), height);
            canvas.renderer.textAlignment(horizontal, vertical);
            canvas.renderer.fillColor(black);
            canvas.renderer.noOutline();
            canvas.renderer.text(anchorX, anchorRow, "THE");

            const Canvas::Box box = canvas.inkBox();
            ASSERT_FALSE(box.empty());
            const int inkWidth = box.right - box.left + 1;
            const int inkHeight = box.bottom - box.top + 1;
            EXPECT_GT(inkWidth, height);
            EXPECT_GT(inkHeight, height / 2);
            EXPECT_LT(inkHeight, height);
            switch (horizontal) {
                case TextAlignment::left:
                    EXPECT_NEAR(box.left, anchorX, 3);
                    break;
                case TextAlignment::right:
                    EXPECT_NEAR(box.right + 1, anchorX, 3);
                    break;
                case TextAlignment::center:
                    EXPECT_NEAR((box.left + box.right + 1) / 2.0, anchorX, 2);
                    break;
            }
            switch (vertical) {
                case TextAlignment::left:  // baseline at the anchor: capitals stand above it
                    EXPECT_NEAR(box.bottom + 1, anchorRow, 1);
                    break;
                case TextAlignment::right:  // top of the capitals at the anchor
                    EXPECT_NEAR(box.top, anchorRow, 1);
                    break;
                case TextAlignment::center:
                    EXPECT_NEAR((box.top + box.bottom + 1) / 2.0, anchorRow, 1);
                    break;
            }
            // Upright: the bars of T and E make the top row the inkiest, the stems alone
            // leave the middle thinner.
            EXPECT_GT(canvas.inkInRow(box.top + 1), canvas.inkInRow((box.top + box.bottom) / 2));
        }
    }
}

TEST(RendererTest, TextIsUprightWithoutTheYUpSetUpToo) {
    Canvas canvas(200, 100, false);
    canvas.renderer.font(Assets::uiFontFace(), 24);
    canvas.renderer.textAlignment(TextAlignment::left, TextAlignment::left);
    canvas.renderer.fillColor(black);
    canvas.renderer.text(20, 60, "T");

    const Canvas::Box box = canvas.inkBox();
    ASSERT_FALSE(box.empty());
    EXPECT_NEAR(box.bottom + 1, 60, 1);  // baseline at y = 60 counted downwards
    EXPECT_GT(canvas.inkInRow(box.top + 1), 2 * canvas.inkInRow(box.bottom - 1));
}

TEST(RendererTest, TextWithoutAUsableFaceDrawsNothing) {
    const unsigned char notAFace[] = "not a TrueType face";
    for (const std::span<const unsigned char> face :
         {std::span<const unsigned char>{}, std::span<const unsigned char>(notAFace)}) {
        Canvas canvas(60, 40);
        canvas.renderer.font(face, 20);
        canvas.renderer.fillColor(black);
        canvas.renderer.text(5, 20, "Text");
        EXPECT_TRUE(canvas.inkBox().empty());
    }
}

TEST(RendererTest, CatalogueImageDrawnAtNaturalSizeMatchesItsDecodedPixels) {
    ImageCatalogue catalogue;
    const Bitmap* icon = catalogue.image(1);
    ASSERT_NE(icon, nullptr);
    Canvas canvas(100, 100);
    canvas.renderer.clearAll(black);
    canvas.renderer.transformImage(*icon, 20, 10, 20 + icon->width, 10 + icon->height);

    // Opaque pixels of the icon are copied exactly; its top row lands at y = 10 + height.
    const int top = 100 - 10 - icon->height;
    int opaqueCompared = 0;
    for (int y = 0; y < icon->height; ++y) {
        for (int x = 0; x < icon->width; ++x) {
            const std::uint8_t* source =
                &icon->pixels[(static_cast<std::size_t>(y * icon->width + x)) * 4];
            if (source[3] == 255) {
                ASSERT_EQ(canvas.at(20 + x, top + y),
                          (Color{source[2], source[1], source[0], 255}));
                ++opaqueCompared;
            }
        }
    }
    EXPECT_GT(opaqueCompared, 0);
}

std::vector<unsigned char> encodePng(int width, int height, int channels,
                                     const std::vector<unsigned char>& samples) {
    std::vector<unsigned char> encoded;
    stbi_write_png_to_func(
        [](void* context, void* data, int size) {
            auto* bytes = static_cast<std::vector<unsigned char>*>(context);
            const auto* begin = static_cast<const unsigned char*>(data);
            bytes->insert(bytes->end(), begin, begin + size);
        },
        &encoded, width, height, channels, samples.data(), width * channels);
    return encoded;
}

TEST(ImageCatalogueTest, DecodesToBlueGreenRedAlphaAndRefusesOtherChannelCounts) {
    const std::vector<unsigned char> rgb = encodePng(2, 1, 3, {10, 20, 30, 40, 50, 60});
    const std::optional<Bitmap> fromRgb = ImageCatalogue::decode(rgb);
    ASSERT_TRUE(fromRgb.has_value());
    EXPECT_EQ(fromRgb->width, 2);
    EXPECT_EQ(fromRgb->height, 1);
    EXPECT_EQ(fromRgb->pixels, (std::vector<std::uint8_t>{30, 20, 10, 255, 60, 50, 40, 255}));
    EXPECT_TRUE(fromRgb->opaque);

    const std::vector<unsigned char> rgba = encodePng(1, 2, 4, {1, 2, 3, 4, 5, 6, 7, 8});
    const std::optional<Bitmap> fromRgba = ImageCatalogue::decode(rgba);
    ASSERT_TRUE(fromRgba.has_value());
    EXPECT_EQ(fromRgba->pixels, (std::vector<std::uint8_t>{3, 2, 1, 4, 7, 6, 5, 8}));
    EXPECT_FALSE(fromRgba->opaque);
    EXPECT_TRUE(ImageCatalogue::decode(encodePng(1, 2, 4, {1, 2, 3, 255, 5, 6, 7, 255}))->opaque);

    EXPECT_FALSE(ImageCatalogue::decode(encodePng(2, 2, 1, {0, 1, 2, 3})).has_value());
    EXPECT_FALSE(ImageCatalogue::decode(encodePng(1, 1, 2, {9, 9})).has_value());
    const std::vector<unsigned char> truncated(rgb.begin(), rgb.begin() + 20);
    EXPECT_FALSE(ImageCatalogue::decode(truncated).has_value());
    EXPECT_FALSE(ImageCatalogue::decode({}).has_value());
}

TEST(ImageCatalogueTest, KeepsEachCatalogueImageAtItsSizeAndNothingOutsideIt) {
    struct Size {
        int width, height;
    };
    const Size sizes[ImageCatalogue::imageCount] = {
        {800, 800}, {60, 60},  {60, 60},  {60, 60},  {60, 60}, {60, 60},   {350, 89},
        {431, 61},  {124, 90}, {124, 90}, {124, 90}, {72, 72}, {167, 201}, {800, 480}};
    ImageCatalogue catalogue;
    for (int index = 0; index < ImageCatalogue::imageCount; ++index) {
        SCOPED_TRACE(index);
        const Bitmap* image = catalogue.image(index);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->width, sizes[index].width);
        EXPECT_EQ(image->height, sizes[index].height);
        EXPECT_EQ(catalogue.image(index), image);  // decoded once, then kept
    }
    EXPECT_EQ(catalogue.image(-1), nullptr);
    EXPECT_EQ(catalogue.image(ImageCatalogue::imageCount), nullptr);
    EXPECT_EQ(catalogue.image(22), nullptr);
}

}  // namespace
}  // namespace Boot
