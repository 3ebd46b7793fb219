#include "tools/PackageReader.h"

#include <algorithm>
#include <filesystem>
#include <span>

#include "CoreSystem/CRC32.h"
#include "tools/NumberText.h"

namespace Packaging {
namespace {

bool readExactly(std::ifstream& file, std::uint8_t* bytes, std::size_t count) {
    file.read(reinterpret_cast<char*>(bytes), static_cast<std::streamsize>(count));
    return static_cast<std::size_t>(file.gcount()) == count;
}

bool looksLikeRecord(const std::vector<Boot::ComponentEntry>& entries, std::uint64_t fileSize,
                     std::uint64_t tableEnd) {
    return !entries.empty() && fileSize == tableEnd + Boot::signatureBlockSize &&
           std::all_of(entries.begin(), entries.end(), [](const Boot::ComponentEntry& entry) {
               return entry.reserved == 0 && entry.size == 0 && entry.offset == 0 && entry.crc == 0;
           });
}

}  // namespace

bool PackageReader::open(const std::string& path, std::string& error, Expect expect) {
    path_ = path;
    entries_.clear();
    file_.close();
    std::error_code problem;
    if (std::filesystem::is_directory(path, problem)) {
        error = path + " is a folder";
        return false;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, problem);
    file_.open(path, std::ios::binary);
    if (problem || !file_) {
        error = "cannot read " + path + (problem ? ": " + problem.message() : "");
        return false;
    }
    fileSize_ = size;
    if (fileSize_ < Boot::packageHeaderSize ||
        !readExactly(file_, header_.bytes.data(), header_.bytes.size())) {
        error = path + " is " + std::to_string(fileSize_) + " bytes, too short for the " +
                std::to_string(Boot::packageHeaderSize) + "-byte header";
        return false;
    }
    // The unit takes any record whose first word is not zero; a package needs the magic.
    const bool magicAccepted = expect == Expect::installedRecord
                                   ? header_.magic() != 0
                                   : header_.magic() == Boot::packageMagic;
    if (!magicAccepted) {
        error = path + " is not an install package (magic " + NumberText::hex32(header_.magic()) +
                ", expected " + NumberText::hex32(Boot::packageMagic) + ")";
        return false;
    }
    // A count below 1 means no table. The table and signature must lie inside the file, which
    // bounds the count before anything is allocated for it.
    const auto count = static_cast<std::uint64_t>(std::max(header_.count(), 0));
    const std::uint64_t layoutEnd =
        Boot::packageHeaderSize + Boot::componentEntrySize * count + Boot::signatureBlockSize;
    if (layoutEnd > fileSize_) {
        error = path + " is " + std::to_string(fileSize_) + " bytes, too short for its table of " +
                std::to_string(count) + " entries and the signature block (" +
                std::to_string(layoutEnd) + " bytes)";
        return false;
    }
    std::vector<std::uint8_t> table(Boot::componentEntrySize * count);
    if (!readExactly(file_, table.data(), table.size()) ||
        !readExactly(file_, signature_.data(), signature_.size())) {
        error = "cannot read the table of " + path;
        return false;
    }
    for (std::size_t offset = 0; offset < table.size(); offset += Boot::componentEntrySize) {
        entries_.push_back(
            Boot::ComponentEntry::decode(std::span<const std::uint8_t, Boot::componentEntrySize>(
                table.data() + offset, Boot::componentEntrySize)));
    }
    const CoreSystem::CRC32 crc;
    headerAndTableCrc_ = crc.update(crc.update(crc.startValue(CoreSystem::CRC32::packageSeed),
                                               header_.bytes.data(), header_.bytes.size()),
                                    table.data(), table.size());
    kind_ = expect == Expect::installedRecord || looksLikeRecord(entries_, fileSize_, tableEnd())
                ? Kind::installedRecord
                : Kind::package;
    return true;
}

std::uint64_t PackageReader::tableEnd() const {
    return Boot::packageHeaderSize + Boot::componentEntrySize * entries_.size();
}

bool PackageReader::withinFile(const Boot::ComponentEntry& entry) const {
    return entry.offset <= fileSize_ && entry.size <= fileSize_ - entry.offset;
}

bool PackageReader::readComponent(std::size_t index, const ChunkReader::Sink& sink,
                                  std::string& error) {
    if (kind_ != Kind::package) {
        error = path_ + " is an installed record; it holds no component data";
        return false;
    }
    if (index >= entries_.size()) {
        error = path_ + " has no component " + std::to_string(index) + " (it has " +
                std::to_string(entries_.size()) + ")";
        return false;
    }
    const Boot::ComponentEntry& entry = entries_[index];
    if (!withinFile(entry)) {
        error = "the data of component " + std::to_string(index) + " (" +
                std::to_string(entry.size) + " bytes at offset " + std::to_string(entry.offset) +
                ") lies beyond the end of the file (" + std::to_string(fileSize_) + " bytes)";
        return false;
    }
    if (!ChunkReader::readRange(file_, entry.offset, entry.size, sink)) {
        error = "reading component " + std::to_string(index) + " of " + path_ + " stopped";
        return false;
    }
    return true;
}

bool PackageReader::readComponent(std::size_t index, const ChunkReader::Sink& sink,
                                  std::uint32_t& crc, std::string& error) {
    const CoreSystem::CRC32 calculator;
    crc = calculator.startValue(CoreSystem::CRC32::packageSeed);
    return readComponent(
        index,
        [&](std::span<const char> piece) {
            crc = calculator.update(crc, piece.data(), piece.size());
            return sink(piece);
        },
        error);
}

bool PackageReader::readRange(std::uint64_t offset, std::uint64_t length,
                              const ChunkReader::Sink& sink, std::string& error) {
    if (!ChunkReader::readRange(file_, offset, length, sink)) {
        error = "reading " + std::to_string(length) + " bytes at offset " + std::to_string(offset) +
                " of " + path_ + " stopped";
        return false;
    }
    return true;
}

Boot::PackageSeal::Status PackageReader::readSeal(Boot::PackageSeal& seal,
                                                  std::uint64_t& blockOffset) {
    return Boot::PackageSeal::read(file_, entries_, fileSize_, seal, blockOffset);
}

}  // namespace Packaging
