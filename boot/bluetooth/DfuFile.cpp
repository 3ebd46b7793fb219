#include "boot/bluetooth/DfuFile.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <new>
#include <string_view>

#include <zlib.h>

#include "CoreSystem/ByteOrder.h"
#include "CoreSystem/Console.h"

namespace Boot::Bluetooth {
namespace {

using CoreSystem::Console;
using CoreSystem::ByteOrder::loadLittleEndian16;
using CoreSystem::ByteOrder::storeLittleEndian16;

constexpr std::uint8_t suffixLength = 16;
constexpr std::size_t magicSize = 8;
constexpr std::size_t infoOffset = 16;
constexpr std::size_t infoSize = 57;
constexpr std::array<std::uint8_t, 3> suffixSignature = {0x55, 0x46, 0x44};  // "UFD"

// Runs `bytes` through the CRC register. The suffix CRC is the standard CRC-32 without its final
// complement, and zlib's crc32 complements the register on the way in and out.
std::uint32_t crcRun(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) {
        return crc;  // zlib takes a null buffer as a request for its start value
    }
    return ~static_cast<std::uint32_t>(crc32_z(~crc, bytes.data(), bytes.size()));
}

bool startsWithMagic(std::span<const std::uint8_t> file) {
    if (file.size() < magicSize) {
        return false;
    }
    const std::string_view start(reinterpret_cast<const char*>(file.data()), magicSize);
    return start == "CSR-dfu1" || start == "CSR-dfu2";
}

// Text of at most `limit` bytes from `bytes`, ending at the first NUL.
std::string_view textAt(std::span<const std::uint8_t> bytes, std::size_t limit) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()),
                                std::min(bytes.size(), limit));
    return text.substr(0, text.find('\0'));
}

// The device number's hexadecimal digits read back as a decimal number, as the ID is shown.
unsigned firmwareId(std::uint16_t device) {
    std::array<char, 8> digits{};
    const auto written = std::to_chars(digits.begin(), digits.end(), device, 16);
    unsigned value = 0;
    std::from_chars(digits.begin(), written.ptr, value, 10);
    return value;
}

}  // namespace

std::string_view dfuFileCheckText(DfuFileCheck check) {
    switch (check) {
        case DfuFileCheck::ok:
            return "OK";
        case DfuFileCheck::tooShort:
            return "file shorter than the 16-byte suffix";
        case DfuFileCheck::signature:
            return R"(suffix signature is not "UFD")";
        case DfuFileCheck::suffixLength:
            return "suffix length is not 16";
        case DfuFileCheck::suffixVersion:
            return "suffix format version is not 0x0100";
        case DfuFileCheck::crc:
            return "suffix CRC does not match the file";
        case DfuFileCheck::magic:
            return R"(file begins with neither "CSR-dfu1" nor "CSR-dfu2")";
    }
    return "unknown check";
}

std::uint32_t dfuSuffixCrc(std::span<const std::uint8_t> bytes) {
    return crcRun(0xFFFFFFFFU, bytes);
}

DfuFileDetails dfuParseFile(std::span<const std::uint8_t> file) {
    DfuFileDetails details;
    if (file.size() < dfuSuffixSize) {
        return details;
    }
    details.imageLength = file.size() - dfuSuffixSize;
    const std::uint8_t* suffix = file.data() + details.imageLength;
    details.suffix.device = loadLittleEndian16(suffix);
    details.suffix.product = loadLittleEndian16(suffix + 2);
    details.suffix.vendor = loadLittleEndian16(suffix + 4);
    details.suffix.version = loadLittleEndian16(suffix + 6);
    details.suffix.length = suffix[11];
    details.suffix.storedCrc = CoreSystem::ByteOrder::loadLittleEndian32(suffix + 12);
    details.suffix.computedCrc = dfuSuffixCrc(file.first(file.size() - 4));

    if (!std::equal(suffixSignature.begin(), suffixSignature.end(), suffix + 8)) {
        details.check = DfuFileCheck::signature;
    } else if (details.suffix.length != suffixLength) {
        details.check = DfuFileCheck::suffixLength;
    } else if (details.suffix.version != dfuSuffixVersion) {
        details.check = DfuFileCheck::suffixVersion;
    } else if (details.suffix.storedCrc != details.suffix.computedCrc) {
        details.check = DfuFileCheck::crc;
    } else if (!startsWithMagic(file)) {
        details.check = DfuFileCheck::magic;
    } else {
        details.check = DfuFileCheck::ok;
    }
    return details;
}

std::vector<std::uint8_t> dfuMakeSuffix(std::span<const std::uint8_t> image, std::uint16_t device,
                                        std::uint16_t product, std::uint16_t vendor) {
    std::vector<std::uint8_t> suffix(dfuSuffixSize);
    storeLittleEndian16(suffix.data(), device);
    storeLittleEndian16(&suffix[2], product);
    storeLittleEndian16(&suffix[4], vendor);
    storeLittleEndian16(&suffix[6], dfuSuffixVersion);
    std::copy(suffixSignature.begin(), suffixSignature.end(), suffix.begin() + 8);
    suffix[11] = suffixLength;
    // The CRC covers the image and the first 12 suffix bytes.
    const std::uint32_t crc = crcRun(dfuSuffixCrc(image), std::span(suffix).first(12));
    CoreSystem::ByteOrder::storeLittleEndian32(&suffix[12], crc);
    return suffix;
}

void dfuPrintFirmwareDetails(std::span<const std::uint8_t> file, const DfuFileDetails& details) {
    // The info text lies in the vendor header: never beyond the image, however short the file.
    const std::span<const std::uint8_t> image = file.first(details.imageLength);
    const std::string type(textAt(file, magicSize));
    const std::string info(textAt(image.subspan(std::min(infoOffset, image.size())), infoSize));
    Console::printf("Firmware ID:   %04x\n", firmwareId(details.suffix.device));
    Console::printf("Firmware type: %s\n", type.c_str());
    Console::printf("Firmware info: %s\n", info.c_str());
    Console::printf("Firmware size: %zu\n", details.imageLength);
}

std::optional<std::vector<std::uint8_t>> dfu_read_file(const std::string& path, std::size_t& length,
                                                       bool quiet) {
    std::ifstream input(path, std::ios::binary | std::ios::ate);
    const std::streamoff end = input ? static_cast<std::streamoff>(input.tellg()) : -1;
    if (end < 0) {
        Console::printf("Can't open file %s\n", path.c_str());
        return std::nullopt;
    }
    const auto size = static_cast<std::size_t>(end);
    std::vector<std::uint8_t> file;
    try {
        file.resize(size);
    } catch (const std::bad_alloc&) {
        Console::printf("Cannot malloc %zu bytes for dfu file\n", size);
        return std::nullopt;
    }
    input.seekg(0);
    input.read(reinterpret_cast<char*>(file.data()), static_cast<std::streamsize>(size));
    file.resize(static_cast<std::size_t>(input.gcount()));
    if (file.size() < dfuSuffixSize) {
        Console::printf("Broken file %s\n", path.c_str());
        return std::nullopt;
    }

    const DfuFileDetails details = dfuParseFile(file);
    length = details.imageLength;
    if (!quiet) {
        dfuPrintFirmwareDetails(file, details);
    }
    if (details.check != DfuFileCheck::ok) {
        Console::print("Firmware file: *** BROKEN ***\n");
        return std::nullopt;
    }
    if (!quiet) {
        Console::print("Firmware file: OK\n");
    }
    return file;
}

}  // namespace Boot::Bluetooth
