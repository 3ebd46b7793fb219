#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

// The install package file (".kx1"), shared by the loader and the packaging tool. All numbers
// are little-endian. Layout: a 664-byte header, `count` 32-byte component entries, a 128-byte
// RSA signature block, then the component data at the offsets the entries name.
namespace Boot {

inline constexpr std::uint32_t packageMagic = 0x4E67C5D4;
inline constexpr std::size_t packageHeaderSize = 664;
inline constexpr std::size_t componentEntrySize = 32;
inline constexpr std::size_t rsaBlockSize = 128;
inline constexpr std::size_t signatureBlockSize = rsaBlockSize;

inline constexpr std::uint32_t flagPasswordProtected = 0x2;
inline constexpr std::uint32_t flagPartNumberLocked = 0x4;

// The text that a part-number lock must seal: the unit compares the lock with this fixed text,
// not with its own part number.
inline constexpr const char* lockedPartNumber = "61-20-5050";

// Component types and the installer each selects.
namespace ComponentType {
inline constexpr std::uint32_t preInstallCheck = 1;
inline constexpr std::uint32_t bootstrap = 2;
inline constexpr std::uint32_t operatingSystem = 3;
inline constexpr std::uint32_t application = 4;
inline constexpr std::uint32_t configuration = 5;
inline constexpr std::uint32_t bluetoothFirmware = 6;
inline constexpr std::uint32_t ioMicrocontrollerFirmware = 7;
inline constexpr std::uint32_t initialProgramLoader = 8;
inline constexpr std::uint32_t touchFirmware = 9;
inline constexpr std::uint32_t mediaImage = 10;
inline constexpr std::uint32_t mapsEngine = 11;
inline constexpr std::uint32_t postInstallStep = 12;
inline constexpr std::uint32_t acceptedWithoutInstaller13 = 13;
inline constexpr std::uint32_t acceptedWithoutInstaller14 = 14;
inline constexpr std::uint32_t customFiles = 15;
inline constexpr std::uint32_t lowest = 1;
inline constexpr std::uint32_t highest = 15;
// Whether the unit runs an installer for the type (13 and 14 are accepted and install nothing);
// what watches an install from outside weighs its progress by this.
constexpr bool runsInstaller(std::uint32_t type) {
    return type >= lowest && type <= highest && type != acceptedWithoutInstaller13 &&
           type != acceptedWithoutInstaller14;
}
}  // namespace ComponentType

// The 664-byte header, kept verbatim so that its reserved fields travel into the installed
// record unchanged.
class PackageHeader {
public:
    static constexpr std::size_t magicOffset = 0;
    static constexpr std::size_t hardwareFamilyOffset = 8;
    static constexpr std::size_t flagsOffset = 16;
    static constexpr std::size_t passwordBlockOffset = 20;
    static constexpr std::size_t partNumberBlockOffset = 148;
    static constexpr std::size_t countOffset = 660;

    std::array<std::uint8_t, packageHeaderSize> bytes{};

    std::uint32_t magic() const { return word(magicOffset); }
    std::uint32_t hardwareFamily() const { return word(hardwareFamilyOffset); }
    std::uint32_t flags() const { return word(flagsOffset); }
    // Below 1 means the package has no table.
    std::int32_t count() const { return static_cast<std::int32_t>(word(countOffset)); }
    std::span<const std::uint8_t, rsaBlockSize> passwordBlock() const {
        return std::span<const std::uint8_t, rsaBlockSize>(bytes.data() + passwordBlockOffset,
                                                           rsaBlockSize);
    }
    std::span<const std::uint8_t, rsaBlockSize> partNumberBlock() const {
        return std::span<const std::uint8_t, rsaBlockSize>(bytes.data() + partNumberBlockOffset,
                                                           rsaBlockSize);
    }

    void setMagic(std::uint32_t value) { setWord(magicOffset, value); }
    void setHardwareFamily(std::uint32_t value) { setWord(hardwareFamilyOffset, value); }
    void setFlags(std::uint32_t value) { setWord(flagsOffset, value); }
    void setCount(std::int32_t value) { setWord(countOffset, static_cast<std::uint32_t>(value)); }
    void setPasswordBlock(std::span<const std::uint8_t, rsaBlockSize> block);
    void setPartNumberBlock(std::span<const std::uint8_t, rsaBlockSize> block);

private:
    std::uint32_t word(std::size_t offset) const;
    void setWord(std::size_t offset, std::uint32_t value);
};

struct SealedData;

// One row of the component table.
struct ComponentEntry {
    std::uint32_t type = 0;
    // major * 1,000,000 + minor * 100,000 + build
    std::uint32_t version = 0;
    std::uint32_t reserved = 0;
    std::uint64_t size = 0;
    // Absolute file offset of the data.
    std::uint64_t offset = 0;
    // Package CRC-32 of the data.
    std::uint32_t crc = 0;
    // Not in the table: for a sealed package, what its check read of the data, so that an
    // installer reading the data again can tell it is the same (CRC-32 alone can be forged).
    std::shared_ptr<const SealedData> sealedData;

    static ComponentEntry decode(std::span<const std::uint8_t, componentEntrySize> bytes);
    void encode(std::span<std::uint8_t, componentEntrySize> bytes) const;
};

}  // namespace Boot
