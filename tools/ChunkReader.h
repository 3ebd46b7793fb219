#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <span>

namespace Packaging {

// Reads a stretch of a file in pieces of 1 MiB, so that files of any size cost constant memory.
class ChunkReader {
public:
    static constexpr std::size_t chunkSize = std::size_t{1} << 20U;

    // Receives each piece in order; returning false stops the reading.
    using Sink = std::function<bool(std::span<const char> piece)>;

    // Hands `length` bytes from `offset` to the sink. False when the file ends early, a read
    // fails or the sink stops.
    static bool readRange(std::istream& input, std::uint64_t offset, std::uint64_t length,
                          const Sink& sink);
    // Hands everything from the current position to the end of the file to the sink.
    static bool readToEnd(std::istream& input, const Sink& sink);
};

}  // namespace Packaging
