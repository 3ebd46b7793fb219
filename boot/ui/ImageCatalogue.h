#pragma once

#include <array>
#include <optional>
#include <span>

#include "boot/ui/Renderer.h"

namespace Boot {

// The built-in images, decoded on first use and kept for the life of the catalogue.
class ImageCatalogue {
public:
    static constexpr int imageCount = 14;

    // The decoded image at `index` (0-13), or null for another index or data that does not
    // decode to 3 or 4 channels.
    const Bitmap* image(int index);

    // Decodes a JPEG or PNG into BGRA (3-channel images get alpha 255); nothing for data that
    // does not decode or has another channel count.
    static std::optional<Bitmap> decode(std::span<const unsigned char> encoded);

private:
    struct Entry {
        bool decoded = false;
        std::optional<Bitmap> bitmap;
    };
    std::array<Entry, imageCount> entries_;
};

}  // namespace Boot
