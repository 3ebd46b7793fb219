#include "boot/ComponentDataReader.h"

#include <algorithm>
#include <limits>

#include "CoreSystem/CRC32.h"

namespace Boot {

ComponentDataReader::ComponentDataReader(const ComponentEntry& entry, std::istream& stream)
    : stream_(stream),
      expectedCrc_(entry.crc),
      remaining_(entry.size),
      runningCrc_(CoreSystem::CRC32().startValue(CoreSystem::CRC32::packageSeed)),
      sealedData_(entry.sealedData) {
    if (sealedData_) {
        hasher_.emplace(sealedData_->hashBefore);
    }
    // The position is absolute: whatever state an earlier read left in the stream does not matter.
    stream_.clear();
    failed_ =
        entry.offset > static_cast<std::uint64_t>(std::numeric_limits<std::streamoff>::max()) ||
        !stream_.seekg(static_cast<std::streamoff>(entry.offset));
}

std::size_t ComponentDataReader::read(char* buffer, std::size_t size) {
    if (failed_ || remaining_ == 0) {
        return 0;
    }
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, size));
    stream_.read(buffer, static_cast<std::streamsize>(wanted));
    const auto received = static_cast<std::size_t>(stream_.gcount());
    if (received < wanted) {
        failed_ = true;
    }
    runningCrc_ = CoreSystem::CRC32().update(runningCrc_, buffer, received);
    if (hasher_) {
        hasher_->update(std::span<const char>(buffer, received));
    }
    remaining_ -= received;
    return received;
}

bool ComponentDataReader::matchesEntry() {
    if (failed_ || remaining_ != 0 || runningCrc_ != expectedCrc_) {
        return false;
    }
    if (hasher_) {
        digestMatches_ = sealedData_->reachedBy(*hasher_);
        hasher_.reset();
    }
    return digestMatches_;
}

bool ComponentDataReader::readWhole(const ComponentEntry& entry, std::istream& stream,
                                    std::vector<char>& bytes) {
    // The size is checked before anything is allocated from it.
    if (entry.size > std::numeric_limits<std::size_t>::max() / 2) {
        return false;
    }
    ComponentDataReader reader(entry, stream);
    bytes.resize(static_cast<std::size_t>(entry.size));
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const std::size_t count = reader.read(bytes.data() + filled, bytes.size() - filled);
        if (count == 0) {
            break;
        }
        filled += count;
    }
    return reader.matchesEntry();
}

}  // namespace Boot
