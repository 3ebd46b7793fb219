#pragma once

#include <span>

// The bitmaps and the face the loader's screens draw with, built into the program.
namespace Assets {

// The image catalogue's bitmaps, as encoded bytes: 0 is the 800x800 background JPEG, 1-13 the
// PNG images. Any other index gives an empty span.
std::span<const unsigned char> catalogueImage(int index);

// The rounded bold TrueType face every text uses.
std::span<const unsigned char> uiFontFace();

}  // namespace Assets
