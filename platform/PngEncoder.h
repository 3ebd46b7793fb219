#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct z_stream_s;

namespace Platform {

// Encodes the window's BGRA frames as RGBA PNG files, cheaply: fast deflate with the sub filter,
// and each band of rows compressed on its own, so that a band that is the same as in the
// previous frame keeps its compressed bytes instead of being compressed again. Consecutive
// frames of a screen differ in a few bands (a moving bar, a new message).
class PngEncoder {
public:
    // Rows per independently compressed band.
    static constexpr int bandRows = 16;

    struct Encoded {
        std::span<const std::uint8_t> png;  // the whole file, valid until the next encode
        bool sameAsBefore;                  // the picture equals the one encoded before it
    };

    PngEncoder();
    PngEncoder(const PngEncoder&) = delete;
    PngEncoder& operator=(const PngEncoder&) = delete;
    PngEncoder(PngEncoder&&) = delete;
    PngEncoder& operator=(PngEncoder&&) = delete;
    ~PngEncoder();

    // `bgra` holds `height` rows of `width` pixels, `stride` bytes apart. Empty for a picture
    // without pixels, or when the compressor could not be set up.
    Encoded encode(const std::uint8_t* bgra, int width, int height, int stride);

private:
    struct Band {
        std::vector<std::uint8_t> compressed;  // raw deflate, ended by a sync flush
        unsigned long adler = 0;               // Adler-32 of the band's filtered rows
        std::size_t filteredLength = 0;
    };

    // Filters and compresses rows [firstRow, firstRow + rows) of the previous picture.
    void compressBand(Band& band, int firstRow, int rows);
    void assemble();

    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint8_t> previous_;  // the last picture's rows, BGRA, without padding
    std::vector<Band> bands_;
    std::vector<std::uint8_t> filtered_;
    std::vector<std::uint8_t> png_;
    std::unique_ptr<z_stream_s> stream_;
    bool streamReady_ = false;
};

}  // namespace Platform
