#include "boot/InstallPackage.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <limits>
#include <utility>

#include "CoreSystem/ByteOrder.h"
#include "CoreSystem/CRC32.h"
#include "CoreSystem/Utilities.h"
#include "boot/ComponentDataReader.h"

namespace Boot {
namespace {

using CoreSystem::Utilities;

// Component data is checked a piece at a time, so memory does not grow with component size.
constexpr std::size_t crcChunkSize = std::size_t{64} * 1024U;

// One record of the installed record: type, version, then zeros to the entry size.
constexpr std::size_t recordVersionOffset = 4;

char* asCharacters(std::uint8_t* bytes) {
    return reinterpret_cast<char*>(bytes);
}

std::uint64_t saturatingSum(std::uint64_t first, std::uint64_t second) {
    return second > std::numeric_limits<std::uint64_t>::max() - first
               ? std::numeric_limits<std::uint64_t>::max()
               : first + second;
}

// part * 100 / whole rounded down, for part <= whole, without overflowing 64 bits: adds part to
// a remainder modulo whole a hundred times and counts the wraps. A whole of 0 counts as done.
int percentOf(std::uint64_t part, std::uint64_t whole) {
    if (whole == 0) {
        return 100;
    }
    std::uint64_t remainder = 0;
    int percent = 0;
    for (int step = 0; step < 100; ++step) {
        if (remainder >= whole - part) {
            remainder -= whole - part;
            ++percent;
        } else {
            remainder += part;
        }
    }
    return percent;
}

}  // namespace

InstallPackage::InstallPackage(std::string recordPath) : recordPath_(std::move(recordPath)) {
    // A record write that a power cut stopped before its rename leaves its new file behind.
    Utilities::discardUnfinishedReplacement(recordPath_);
    readInstalledRecord();
}

void InstallPackage::readInstalledRecord() {
    // Whatever an archive left in the record's place must neither stall the start (a device or
    // a named pipe) nor be read from outside the unit.
    if (!Utilities::isRegularFile(recordPath_) || !Utilities::isInsideUnitRoot(recordPath_)) {
        return;
    }
    std::ifstream record(recordPath_, std::ios::binary);
    PackageHeader scratch;
    record.read(asCharacters(scratch.bytes.data()), packageHeaderSize);
    if (!record || scratch.magic() == 0 || scratch.count() < 1) {
        return;
    }
    // The count is not trusted for any allocation: reading simply stops at the end of the file.
    std::array<std::uint8_t, componentEntrySize> bytes{};
    for (std::int32_t index = 0; index < scratch.count(); ++index) {
        if (!record.read(asCharacters(bytes.data()), componentEntrySize)) {
            installed_.clear();
            return;
        }
        installed_[static_cast<std::int32_t>(
            CoreSystem::ByteOrder::loadLittleEndian32(bytes.data()))] =
            CoreSystem::ByteOrder::loadLittleEndian32(bytes.data() + recordVersionOffset);
    }
}

PackageHeader InstallPackage::load(const std::string& packagePath) {
    stream_.close();
    components_.clear();
    header_.setMagic(0);

    // Opening a named pipe would wait for a writer for ever.
    if (!Utilities::isRegularFile(packagePath)) {
        return header_;
    }
    stream_.open(packagePath, std::ios::binary);
    if (!stream_.is_open()) {
        return header_;
    }
    if (!stream_.read(asCharacters(header_.bytes.data()), packageHeaderSize)) {
        // A partial header is no header: nothing of it may pass for a loaded package.
        header_.bytes.fill(0);
        return header_;
    }
    if (header_.magic() != packageMagic || header_.count() < 1) {
        return header_;
    }

    // The table and the signature block behind it must lie within the file; this bounds the
    // count before anything is read or allocated from it.
    const auto count = static_cast<std::uint64_t>(header_.count());
    stream_.seekg(0, std::ios::end);
    const std::streamoff fileSize = stream_.tellg();
    stream_.seekg(static_cast<std::streamoff>(packageHeaderSize));
    if (fileSize < 0 || packageHeaderSize + componentEntrySize * count + signatureBlockSize >
                            static_cast<std::uint64_t>(fileSize)) {
        header_.setMagic(0);
        return header_;
    }

    std::array<std::uint8_t, componentEntrySize> bytes{};
    for (std::uint64_t index = 0; index < count; ++index) {
        if (!stream_.read(asCharacters(bytes.data()), componentEntrySize)) {
            components_.clear();
            header_.setMagic(0);
            return header_;
        }
        components_.push_back(ComponentEntry::decode(bytes));
    }
    return header_;
}

bool InstallPackage::readRange(std::uint64_t offset, std::uint64_t size,
                               const std::function<void(std::span<const char>)>& consume) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::streamoff>::max())) {
        return false;
    }
    // seekg clears an end-of-file state left by an earlier short read; other errors stay.
    stream_.seekg(static_cast<std::streamoff>(offset));
    std::vector<char> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(size, crcChunkSize)));
    while (size > 0) {
        const auto wanted = std::min<std::uint64_t>(size, chunk.size());
        if (!stream_.read(chunk.data(), static_cast<std::streamsize>(wanted))) {
            return false;
        }
        consume(std::span<const char>(chunk.data(), static_cast<std::size_t>(wanted)));
        size -= wanted;
    }
    return true;
}

bool InstallPackage::verifySignature(const RsaKey& key) {
    // Only a loaded package has a table whose size was checked against the file.
    if (!stream_.good() || !isLoaded()) {
        return false;
    }
    const std::uint64_t signedLength = packageHeaderSize + componentEntrySize * components_.size();
    std::uint32_t crc = CoreSystem::CRC32().startValue(CoreSystem::CRC32::packageSeed);
    const CoreSystem::CRC32 checksum;
    const auto updateCrc = [&](std::span<const char> piece) {
        crc = checksum.update(crc, piece.data(), piece.size());
    };
    if (!readRange(0, signedLength, updateCrc) ||
        !stream_.read(asCharacters(signature_.data()), signatureBlockSize)) {
        return false;
    }
    std::vector<std::uint8_t> plaintext;
    if (!key.decrypt(signature_, plaintext) || plaintext.size() < sizeof(crc)) {
        return false;
    }
    return CoreSystem::ByteOrder::loadLittleEndian32(plaintext.data()) == crc;
}

bool InstallPackage::decryptedTextEquals(const RsaKey& key, std::string_view expected,
                                         std::span<const std::uint8_t, rsaBlockSize> block) const {
    if (!isLoaded()) {
        return false;
    }
    std::vector<std::uint8_t> plaintext;
    if (!key.decrypt(block, plaintext)) {
        return false;
    }
    const auto textEnd = std::find(plaintext.begin(), plaintext.end(), std::uint8_t{0});
    return std::equal(plaintext.begin(), textEnd, expected.begin(), expected.end(),
                      [](std::uint8_t byte, char character) {
                          return byte == static_cast<std::uint8_t>(character);
                      });
}

bool InstallPackage::getComponent(std::size_t index, std::istream*& stream, ComponentEntry& entry) {
    if (!isLoaded()) {
        stream = nullptr;
        return false;
    }
    if (index >= components_.size()) {
        return false;
    }
    stream = &stream_;
    entry = components_[index];
    return true;
}

bool InstallPackage::verifyComponentData(InstallUserInterface& userInterface) {
    userInterface.reportProgress(0, verifyingText);
    if (!stream_.good()) {
        return false;
    }
    if (requiresSeal()) {
        return verifySealedComponentData(userInterface);
    }
    // Sums saturate, so that sizes no file could hold still give percentages from 0 to 100.
    std::uint64_t total = 0;
    for (const ComponentEntry& entry : components_) {
        total = saturatingSum(total, entry.size);
    }
    // The same check as every installer makes when it reads its component again.
    std::vector<char> chunk(crcChunkSize);
    std::uint64_t running = 0;
    for (const ComponentEntry& entry : components_) {
        ComponentDataReader reader(entry, stream_);
        while (reader.read(chunk.data(), chunk.size()) > 0) {
        }
        if (!reader.matchesEntry()) {
            return false;
        }
        running = saturatingSum(running, entry.size);
        userInterface.reportProgress(percentOf(running, total), verifyingText);
    }
    return true;
}

PackageSeal::Status InstallPackage::checkSealKey() {
    seal_.reset();
    sealVerdict_ = PackageSeal::Status::missing;
    if (!isLoaded() || sealKey_ == nullptr) {
        return sealVerdict_;
    }
    stream_.clear();
    stream_.seekg(0, std::ios::end);
    const std::streamoff fileSize = stream_.tellg();
    if (fileSize < 0) {
        return sealVerdict_;
    }
    PackageSeal seal;
    std::uint64_t blockOffset = 0;
    sealVerdict_ = PackageSeal::read(stream_, components_, static_cast<std::uint64_t>(fileSize),
                                     seal, blockOffset);
    stream_.clear();
    if (sealVerdict_ == PackageSeal::Status::valid) {
        sealVerdict_ = seal.checkKey(*sealKey_);
    }
    if (sealVerdict_ == PackageSeal::Status::valid) {
        seal_ = std::move(seal);
    }
    return sealVerdict_;
}

bool InstallPackage::verifySealedComponentData(InstallUserInterface& userInterface) {
    if (!seal_) {
        sealVerdict_ = PackageSeal::Status::missing;
        return false;
    }
    // The seal was found after back-to-back data, so the header, table and signature block,
    // then each component in table order, are every byte before it.
    PackageSeal::Hasher packageHash;
    const auto hashPiece = [&packageHash](std::span<const char> piece) {
        packageHash.update(piece);
    };
    const std::uint64_t dataStart =
        packageHeaderSize + componentEntrySize * components_.size() + signatureBlockSize;
    const bool allRead = readRange(0, dataStart, hashPiece);
    bool crcsMatch = true;
    std::uint64_t total = 0;
    for (const ComponentEntry& entry : components_) {
        total = saturatingSum(total, entry.size);
    }
    std::vector<char> chunk(crcChunkSize);
    std::uint64_t running = 0;
    bool componentsHashed = true;
    for (ComponentEntry& entry : components_) {
        // A CRC that differs does not end the pass: the seal's verdict comes first. Data cut
        // short leaves the hash short, which no seal verifies. What an earlier pass recorded is
        // dropped, so that this one reads the data only once.
        entry.sealedData.reset();
        ComponentDataReader reader(entry, stream_);
        PackageSeal::Hasher hashBefore(packageHash);
        std::size_t count = 0;
        while (allRead && (count = reader.read(chunk.data(), chunk.size())) > 0) {
            packageHash.update(std::span<const char>(chunk.data(), count));
        }
        crcsMatch = reader.matchesEntry() && crcsMatch;
        const std::optional<PackageSeal::Digest> digestAfter =
            PackageSeal::Hasher(packageHash).finish();
        componentsHashed = componentsHashed && digestAfter.has_value();
        entry.sealedData = std::make_shared<const SealedData>(
            SealedData{std::move(hashBefore), digestAfter.value_or(PackageSeal::Digest{})});
        running = saturatingSum(running, entry.size);
        userInterface.reportProgress(percentOf(running, total), verifyingText);
    }
    const std::optional<PackageSeal::Digest> digest = packageHash.finish();
    sealVerdict_ = allRead && componentsHashed && digest ? seal_->verify(*sealKey_, *digest)
                                                         : PackageSeal::Status::badSignature;
    return crcsMatch;
}

void InstallPackage::setInstalledVersion(std::int32_t type, std::uint32_t version) {
    installed_[type] = version;
}

bool InstallPackage::writeInstalledRecord() {
    if (!isLoaded()) {
        return false;
    }
    const std::string folder = Utilities::directoryName(recordPath_);
    if (!Utilities::isDirectory(folder) && !Utilities::makeDirectories(folder)) {
        return false;
    }

    PackageHeader recordHeader = header_;
    recordHeader.setCount(static_cast<std::int32_t>(installed_.size()));
    std::vector<std::uint8_t> bytes(recordHeader.bytes.begin(), recordHeader.bytes.end());
    bytes.reserve(packageHeaderSize + componentEntrySize * installed_.size() + signatureBlockSize);
    for (const auto& [type, version] : installed_) {
        std::array<std::uint8_t, componentEntrySize> record{};
        CoreSystem::ByteOrder::storeLittleEndian32(record.data(), static_cast<std::uint32_t>(type));
        CoreSystem::ByteOrder::storeLittleEndian32(record.data() + recordVersionOffset, version);
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    bytes.insert(bytes.end(), signature_.begin(), signature_.end());
    return Utilities::replaceFile(recordPath_, bytes);
}

}  // namespace Boot
