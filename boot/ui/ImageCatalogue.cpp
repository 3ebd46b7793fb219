#include "boot/ui/ImageCatalogue.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
#include <stb/stb_image.h>

#include <cstddef>
#include <limits>
#include <memory>

#include "assets/UiAssets.h"

namespace Boot {

std::optional<Bitmap> ImageCatalogue::decode(std::span<const unsigned char> encoded) {
    if (encoded.empty() ||
        encoded.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return std::nullopt;
    }
    int width = 0;
    int height = 0;
    int channels = 0;
    const std::unique_ptr<stbi_uc, decltype(&stbi_image_free)> decoded(
        stbi_load_from_memory(encoded.data(), static_cast<int>(encoded.size()), &width, &height,
                              &channels, 0),
        &stbi_image_free);
    if (!decoded || (channels != 3 && channels != 4)) {
        return std::nullopt;
    }
    Bitmap bitmap;
    bitmap.width = width;
    bitmap.height = height;
    const std::size_t pixelCount =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    bitmap.pixels.resize(pixelCount * 4);
    bitmap.opaque = true;
    const auto sourceChannels = static_cast<std::size_t>(channels);
    for (std::size_t pixel = 0; pixel < pixelCount; ++pixel) {
        const stbi_uc* source = decoded.get() + pixel * sourceChannels;
        std::uint8_t* target = bitmap.pixels.data() + pixel * 4;
        target[0] = source[2];
        target[1] = source[1];
        target[2] = source[0];
        target[3] = channels == 4 ? source[3] : 255;
        bitmap.opaque = bitmap.opaque && target[3] == 255;
    }
    return bitmap;
}

const Bitmap* ImageCatalogue::image(int index) {
    if (index < 0 || index >= imageCount) {
        return nullptr;
    }
    Entry& entry = entries_[static_cast<std::size_t>(index)];
    if (!entry.decoded) {
        entry.bitmap = decode(Assets::catalogueImage(index));
        entry.decoded = true;
    }
    return entry.bitmap ? &*entry.bitmap : nullptr;
}

}  // namespace Boot
