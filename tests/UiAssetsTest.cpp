#include "assets/UiAssets.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <memory>

// A private copy of the decoder, so this test does not depend on which library defines it.
#define STB_IMAGE_STATIC
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

namespace {

struct StbImageDeleter {
    void operator()(stbi_uc* pixels) const { stbi_image_free(pixels); }
};

struct DecodedImage {
    std::unique_ptr<stbi_uc, StbImageDeleter> pixels;
    int width = 0;
    int height = 0;
    int channels = 0;

    unsigned alphaAt(int x, int y) const {
        const auto pixel = static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                           static_cast<std::size_t>(x);
        return pixels.get()[pixel * static_cast<std::size_t>(channels) + 3];
    }
};

DecodedImage decodeCatalogueImage(int index) {
    const auto bytes = Assets::catalogueImage(index);
    DecodedImage image;
    image.pixels.reset(stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()),
                                             &image.width, &image.height, &image.channels, 0));
    return image;
}

struct CatalogueEntry {
    int index;
    int width;
    int height;
    int channels;  // 3 for the opaque background and test pattern, 4 for images with alpha
};

TEST(UiAssetsTest, EveryCatalogueImageDecodesToItsCatalogueSize) {
    const CatalogueEntry entries[] = {
        {0, 800, 800, 3}, {1, 60, 60, 4},  {2, 60, 60, 4},    {3, 60, 60, 4},    {4, 60, 60, 4},
        {5, 60, 60, 4},   {6, 350, 89, 4}, {7, 431, 61, 4},   {8, 124, 90, 4},   {9, 124, 90, 4},
        {10, 124, 90, 4}, {11, 72, 72, 4}, {12, 167, 201, 4}, {13, 800, 480, 3},
    };
    for (const CatalogueEntry& entry : entries) {
        SCOPED_TRACE(entry.index);
        const DecodedImage image = decodeCatalogueImage(entry.index);
        ASSERT_NE(image.pixels, nullptr) << stbi_failure_reason();
        EXPECT_EQ(image.width, entry.width);
        EXPECT_EQ(image.height, entry.height);
        EXPECT_EQ(image.channels, entry.channels);
    }
}

TEST(UiAssetsTest, IconsHaveTransparentCorners) {
    for (int index = 1; index <= 12; ++index) {
        SCOPED_TRACE(index);
        const DecodedImage image = decodeCatalogueImage(index);
        ASSERT_NE(image.pixels, nullptr);
        ASSERT_EQ(image.channels, 4);
        const int right = image.width - 1;
        const int bottom = image.height - 1;
        EXPECT_EQ(image.alphaAt(0, 0), 0U);
        EXPECT_EQ(image.alphaAt(right, 0), 0U);
        EXPECT_EQ(image.alphaAt(0, bottom), 0U);
        EXPECT_EQ(image.alphaAt(right, bottom), 0U);
    }
}

TEST(UiAssetsTest, IndicesOutsideTheCatalogueGiveNoBytes) {
    for (const int index : {INT_MIN, -1, 14, 22, INT_MAX}) {
        EXPECT_TRUE(Assets::catalogueImage(index).empty()) << index;
    }
}

TEST(UiAssetsTest, FontIsATrueTypeFace) {
    const auto face = Assets::uiFontFace();
    ASSERT_GE(face.size(), 12U);
    // The sfnt version of a face with TrueType outlines.
    EXPECT_EQ(face[0], 0x00);
    EXPECT_EQ(face[1], 0x01);
    EXPECT_EQ(face[2], 0x00);
    EXPECT_EQ(face[3], 0x00);
}

}  // namespace
