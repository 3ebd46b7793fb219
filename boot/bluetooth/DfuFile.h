#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Firmware files for the Bluetooth chip: a vendor header that starts with "CSR-dfu1" or
// "CSR-dfu2", the image, and the 16-byte download suffix (device, product, vendor, format
// version 0x0100, "UFD", length 16, CRC-32).
namespace Boot::Bluetooth {

inline constexpr std::size_t dfuSuffixSize = 16;
inline constexpr std::uint16_t dfuSuffixVersion = 0x0100;

// Which check a file failed, in the order they are made.
enum class DfuFileCheck {
    ok,
    tooShort,   // fewer bytes than the suffix
    signature,  // suffix signature is not "UFD"
    suffixLength,
    suffixVersion,
    crc,
    magic,  // neither "CSR-dfu1" nor "CSR-dfu2" at the start
};
std::string_view dfuFileCheckText(DfuFileCheck check);

struct DfuSuffix {
    std::uint16_t device = 0;
    std::uint16_t product = 0;
    std::uint16_t vendor = 0;
    std::uint16_t version = 0;
    std::uint8_t length = 0;
    std::uint32_t storedCrc = 0;
    std::uint32_t computedCrc = 0;
};

struct DfuFileDetails {
    DfuFileCheck check = DfuFileCheck::tooShort;
    std::size_t imageLength = 0;  // file size minus the suffix
    DfuSuffix suffix;
};

// The file checks over a whole file's bytes.
DfuFileDetails dfuParseFile(std::span<const std::uint8_t> file);

// The suffix CRC: reflected CRC-32 (0xEDB88320) from 0xFFFFFFFF with no final XOR, over the
// given bytes.
std::uint32_t dfuSuffixCrc(std::span<const std::uint8_t> bytes);

// The 16-byte suffix for `image` (the bytes before it).
std::vector<std::uint8_t> dfuMakeSuffix(std::span<const std::uint8_t> image, std::uint16_t device,
                                        std::uint16_t product, std::uint16_t vendor);

// Prints the ID, type, info and size lines of a file that passed the size check.
void dfuPrintFirmwareDetails(std::span<const std::uint8_t> file, const DfuFileDetails& details);

// Reads and checks a firmware file; the whole file, with `length` set to its size minus the
// suffix. Prints the details unless `quiet`, and always the verdict on a broken file.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> dfu_read_file(const std::string& path,
                                                                     std::size_t& length,
                                                                     bool quiet);

}  // namespace Boot::Bluetooth
