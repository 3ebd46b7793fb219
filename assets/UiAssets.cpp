#include "assets/UiAssets.h"

#include <array>
#include <cstddef>

// Written by the build from the files in assets/ (see assets/CMakeLists.txt).
extern "C" {
extern const unsigned char catalogueImage0[], catalogueImage1[], catalogueImage2[],
    catalogueImage3[], catalogueImage4[], catalogueImage5[], catalogueImage6[], catalogueImage7[],
    catalogueImage8[], catalogueImage9[], catalogueImage10[], catalogueImage11[],
    catalogueImage12[], catalogueImage13[], uiFontFaceData[];
extern const unsigned long catalogueImage0_size, catalogueImage1_size, catalogueImage2_size,
    catalogueImage3_size, catalogueImage4_size, catalogueImage5_size, catalogueImage6_size,
    catalogueImage7_size, catalogueImage8_size, catalogueImage9_size, catalogueImage10_size,
    catalogueImage11_size, catalogueImage12_size, catalogueImage13_size, uiFontFaceData_size;
}

namespace Assets {
namespace {

struct EmbeddedFile {
    const unsigned char* bytes;
    const unsigned long* size;

    std::span<const unsigned char> span() const { return {bytes, static_cast<std::size_t>(*size)}; }
};

constexpr std::array catalogue{
    EmbeddedFile{catalogueImage0, &catalogueImage0_size},
    EmbeddedFile{catalogueImage1, &catalogueImage1_size},
    EmbeddedFile{catalogueImage2, &catalogueImage2_size},
    EmbeddedFile{catalogueImage3, &catalogueImage3_size},
    EmbeddedFile{catalogueImage4, &catalogueImage4_size},
    EmbeddedFile{catalogueImage5, &catalogueImage5_size},
    EmbeddedFile{catalogueImage6, &catalogueImage6_size},
    EmbeddedFile{catalogueImage7, &catalogueImage7_size},
    EmbeddedFile{catalogueImage8, &catalogueImage8_size},
    EmbeddedFile{catalogueImage9, &catalogueImage9_size},
    EmbeddedFile{catalogueImage10, &catalogueImage10_size},
    EmbeddedFile{catalogueImage11, &catalogueImage11_size},
    EmbeddedFile{catalogueImage12, &catalogueImage12_size},
    EmbeddedFile{catalogueImage13, &catalogueImage13_size},
};

}  // namespace

std::span<const unsigned char> catalogueImage(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= catalogue.size()) {
        return {};
    }
    return catalogue.at(static_cast<std::size_t>(index)).span();
}

std::span<const unsigned char> uiFontFace() {
    return EmbeddedFile{uiFontFaceData, &uiFontFaceData_size}.span();
}

}  // namespace Assets
