#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "boot/PackageFormat.h"
#include "boot/PackageSeal.h"
#include "tools/ChunkReader.h"

namespace Packaging {

// Reads an install package, or an installed record (the same layout, whose records carry only
// type and version), for the packaging tool. The file is untrusted: every length is checked
// against the file size before anything is read or allocated.
class PackageReader {
public:
    enum class Kind { package, installedRecord };
    enum class Expect { automatic, installedRecord };

    // Reads header, table and signature block. An installed record is recognised by its
    // records (size, offset and crc all zero) and its exact length, or taken as one on request.
    // On failure `error` says why in one line.
    bool open(const std::string& path, std::string& error, Expect expect = Expect::automatic);

    Kind kind() const { return kind_; }
    const Boot::PackageHeader& header() const { return header_; }
    const std::vector<Boot::ComponentEntry>& entries() const { return entries_; }
    const std::array<std::uint8_t, Boot::signatureBlockSize>& signature() const {
        return signature_;
    }
    std::uint64_t fileSize() const { return fileSize_; }
    // Where the table ends and the signature block starts: 664 + 32 * entries.
    std::uint64_t tableEnd() const;
    // The package CRC-32 of the header and table as stored, which the signature seals.
    std::uint32_t headerAndTableCrc() const { return headerAndTableCrc_; }

    // Whether the entry's data lies inside the file.
    bool withinFile(const Boot::ComponentEntry& entry) const;
    // Hands the data of entry `index` to the sink in pieces; false with `error` when the entry
    // does not exist, its data is not inside the file, or reading stops.
    bool readComponent(std::size_t index, const ChunkReader::Sink& sink, std::string& error);
    // The same, with `crc` the package CRC-32 of the data handed to the sink, to compare with
    // the entry's.
    bool readComponent(std::size_t index, const ChunkReader::Sink& sink, std::uint32_t& crc,
                       std::string& error);
    // Hands `length` bytes from `offset` to the sink in pieces, whatever they hold; false with
    // `error` when the file ends early or reading stops.
    bool readRange(std::uint64_t offset, std::uint64_t length, const ChunkReader::Sink& sink,
                   std::string& error);
    // What follows the last component's data: the seal block, parsed, and where it starts.
    // scatteredLayout for a package whose components do not lie back to back.
    Boot::PackageSeal::Status readSeal(Boot::PackageSeal& seal, std::uint64_t& blockOffset);

private:
    std::ifstream file_;
    std::string path_;
    Kind kind_ = Kind::package;
    Boot::PackageHeader header_;
    std::vector<Boot::ComponentEntry> entries_;
    std::array<std::uint8_t, Boot::signatureBlockSize> signature_{};
    std::uint64_t fileSize_ = 0;
    std::uint32_t headerAndTableCrc_ = 0;
};

}  // namespace Packaging
