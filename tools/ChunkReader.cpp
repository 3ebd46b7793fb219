#include "tools/ChunkReader.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace Packaging {

bool ChunkReader::readRange(std::istream& input, std::uint64_t offset, std::uint64_t length,
                            const Sink& sink) {
    input.clear();
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::streamoff>::max()) ||
        !input.seekg(static_cast<std::streamoff>(offset))) {
        return false;
    }
    std::vector<char> piece(static_cast<std::size_t>(std::min<std::uint64_t>(length, chunkSize)));
    while (length > 0) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(length, chunkSize));
        input.read(piece.data(), static_cast<std::streamsize>(wanted));
        if (static_cast<std::size_t>(input.gcount()) != wanted ||
            !sink(std::span<const char>(piece.data(), wanted))) {
            return false;
        }
        length -= wanted;
    }
    return true;
}

bool ChunkReader::readToEnd(std::istream& input, const Sink& sink) {
    std::vector<char> piece(chunkSize);
    while (input) {
        input.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const auto got = static_cast<std::size_t>(input.gcount());
        if (got > 0 && !sink(std::span<const char>(piece.data(), got))) {
            return false;
        }
    }
    // Reaching the end sets eof and fail; a failed read sets bad.
    return input.eof() && !input.bad();
}

}  // namespace Packaging
