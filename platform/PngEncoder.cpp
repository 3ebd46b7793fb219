#include "platform/PngEncoder.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace Platform {

namespace {

constexpr int bytesPerPixel = 4;
constexpr std::uint8_t subFilter = 1;
constexpr int deflateLevel = 1;
constexpr int rawDeflateWindowBits = -15;
constexpr int deflateMemoryLevel = 8;

constexpr std::array<std::uint8_t, 8> signature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// The zlib header of a 32 KB window at the fastest level, then the deflate blocks of the bands.
constexpr std::array<std::uint8_t, 2> zlibHeader{0x78, 0x01};
// An empty final block with fixed codes: closes the deflate stream after the bands' sync flushes.
constexpr std::array<std::uint8_t, 2> finalBlock{0x03, 0x00};
constexpr std::uint8_t bitDepth = 8;
constexpr std::uint8_t colourTypeRgba = 6;

void appendBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> static_cast<unsigned>(shift)));
    }
}

// Starts a chunk: its length (filled in by endChunk) and type. Returns where the type begins.
std::size_t beginChunk(std::vector<std::uint8_t>& out, std::string_view type) {
    appendBigEndian(out, 0);
    const std::size_t typeOffset = out.size();
    out.insert(out.end(), type.begin(), type.end());
    return typeOffset;
}

void endChunk(std::vector<std::uint8_t>& out, std::size_t typeOffset) {
    const std::size_t dataLength = out.size() - typeOffset - 4;
    for (int index = 0; index < 4; ++index) {
        out[typeOffset - 4 + static_cast<std::size_t>(index)] =
            static_cast<std::uint8_t>(dataLength >> (8U * static_cast<unsigned>(3 - index)));
    }
    // The chunk's CRC covers its type and data.
    const uLong crc =
        crc32(0L, out.data() + typeOffset, static_cast<uInt>(out.size() - typeOffset));
    appendBigEndian(out, static_cast<std::uint32_t>(crc));
}

}  // namespace

PngEncoder::PngEncoder() : stream_(std::make_unique<z_stream_s>()) {
    streamReady_ = deflateInit2(stream_.get(), deflateLevel, Z_DEFLATED, rawDeflateWindowBits,
                                deflateMemoryLevel, Z_DEFAULT_STRATEGY) == Z_OK;
}

PngEncoder::~PngEncoder() {
    if (streamReady_) {
        deflateEnd(stream_.get());
    }
}

PngEncoder::Encoded PngEncoder::encode(const std::uint8_t* bgra, int width, int height,
                                       int stride) {
    if (!streamReady_ || width <= 0 || height <= 0) {
        png_.clear();
        return {png_, false};
    }
    const auto rowBytes = static_cast<std::size_t>(width) * bytesPerPixel;
    const bool sameSize = width == width_ && height == height_;
    if (!sameSize) {
        width_ = width;
        height_ = height;
        previous_.assign(rowBytes * static_cast<std::size_t>(height), 0);
        bands_.assign(static_cast<std::size_t>((height + bandRows - 1) / bandRows), Band{});
    }
    bool sameAsBefore = sameSize;
    for (std::size_t band = 0; band < bands_.size(); ++band) {
        const int firstRow = static_cast<int>(band) * bandRows;
        const int rows = std::min(bandRows, height - firstRow);
        bool changed = !sameSize;
        for (int row = firstRow; row < firstRow + rows; ++row) {
            const std::uint8_t* source = bgra + static_cast<std::ptrdiff_t>(row) * stride;
            std::uint8_t* kept = previous_.data() + static_cast<std::size_t>(row) * rowBytes;
            if (changed || std::memcmp(source, kept, rowBytes) != 0) {
                std::memcpy(kept, source, rowBytes);
                changed = true;
            }
        }
        if (changed) {
            compressBand(bands_[band], firstRow, rows);
            sameAsBefore = false;
        }
    }
    assemble();
    return {png_, sameAsBefore};
}

void PngEncoder::compressBand(Band& band, int firstRow, int rows) {
    const auto rowBytes = static_cast<std::size_t>(width_) * bytesPerPixel;
    // Each row: the filter type, then every byte less the same byte of the pixel to its left,
    // in red, green, blue, alpha order.
    filtered_.resize((rowBytes + 1) * static_cast<std::size_t>(rows));
    std::uint8_t* target = filtered_.data();
    for (int row = firstRow; row < firstRow + rows; ++row) {
        const std::uint8_t* source = previous_.data() + static_cast<std::size_t>(row) * rowBytes;
        *target++ = subFilter;
        std::array<std::uint8_t, bytesPerPixel> left{};
        for (std::size_t offset = 0; offset < rowBytes; offset += bytesPerPixel) {
            const std::array<std::uint8_t, bytesPerPixel> rgba{
                source[offset + 2], source[offset + 1], source[offset], source[offset + 3]};
            for (std::size_t channel = 0; channel < bytesPerPixel; ++channel) {
                *target++ = static_cast<std::uint8_t>(rgba[channel] - left[channel]);
            }
            left = rgba;
        }
    }
    band.filteredLength = filtered_.size();
    band.adler =
        adler32(adler32(0L, Z_NULL, 0), filtered_.data(), static_cast<uInt>(filtered_.size()));

    // A fresh stream per band, flushed to a byte boundary: the bands' outputs can be joined in
    // any combination and no band refers back into another.
    z_stream_s& stream = *stream_;
    deflateReset(&stream);
    band.compressed.resize(deflateBound(&stream, static_cast<uLong>(filtered_.size())) + 16);
    stream.next_in = filtered_.data();
    stream.avail_in = static_cast<uInt>(filtered_.size());
    std::size_t written = 0;
    while (true) {
        stream.next_out = band.compressed.data() + written;
        stream.avail_out = static_cast<uInt>(band.compressed.size() - written);
        deflate(&stream, Z_SYNC_FLUSH);
        written = band.compressed.size() - stream.avail_out;
        // Room left over means the flush is complete.
        if (stream.avail_out != 0) {
            break;
        }
        band.compressed.resize(band.compressed.size() * 2);
    }
    band.compressed.resize(written);
}

void PngEncoder::assemble() {
    png_.assign(signature.begin(), signature.end());

    std::size_t chunk = beginChunk(png_, "IHDR");
    appendBigEndian(png_, static_cast<std::uint32_t>(width_));
    appendBigEndian(png_, static_cast<std::uint32_t>(height_));
    // Depth, colour type, then compression, filter and interlace methods 0.
    png_.insert(png_.end(), {bitDepth, colourTypeRgba, 0, 0, 0});
    endChunk(png_, chunk);

    chunk = beginChunk(png_, "IDAT");
    png_.insert(png_.end(), zlibHeader.begin(), zlibHeader.end());
    uLong adler = adler32(0L, Z_NULL, 0);
    for (const Band& band : bands_) {
        png_.insert(png_.end(), band.compressed.begin(), band.compressed.end());
        adler = adler32_combine(adler, band.adler, static_cast<z_off_t>(band.filteredLength));
    }
    png_.insert(png_.end(), finalBlock.begin(), finalBlock.end());
    appendBigEndian(png_, static_cast<std::uint32_t>(adler));
    endChunk(png_, chunk);

    endChunk(png_, beginChunk(png_, "IEND"));
}

}  // namespace Platform
