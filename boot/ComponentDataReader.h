#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <vector>

#include "boot/PackageFormat.h"
#include "boot/PackageSeal.h"

namespace Boot {

// Reads one component's data from the package stream and checks it against the entry's CRC as
// it passes. The data was verified before any installer ran, but a stick can return other bytes
// on a second read, or the file can be rewritten meanwhile: an installer uses this reader so
// that what it installs is what was verified. The data of a sealed package is also held to the
// SHA-256 its seal check saw, since CRC-32 can be forged.
class ComponentDataReader {
public:
    // Positions `stream` at the component's first byte; the stream must outlive the reader.
    ComponentDataReader(const ComponentEntry& entry, std::istream& stream);

    // Reads up to `size` bytes into `buffer`: 0 once the component has been read whole, or when
    // the package cannot deliver its bytes any more.
    std::size_t read(char* buffer, std::size_t size);

    // Whether every byte of the component was read and they match the entry's CRC (and, for a
    // sealed package, its digest), once the last byte was read.
    bool matchesEntry();

    // Reads the whole component into `bytes`; false when it cannot be read whole or does not
    // match the entry's CRC.
    [[nodiscard]] static bool readWhole(const ComponentEntry& entry, std::istream& stream,
                                        std::vector<char>& bytes);

private:
    std::istream& stream_;
    std::uint32_t expectedCrc_;
    std::uint64_t remaining_;
    std::uint32_t runningCrc_;
    std::shared_ptr<const SealedData> sealedData_;
    std::optional<PackageSeal::Hasher> hasher_;
    bool digestMatches_ = true;
    bool failed_ = false;
};

}  // namespace Boot
