// kx1 dfu make / check: firmware files for the unit's Bluetooth chip.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "CoreSystem/ByteOrder.h"
#include "CoreSystem/Console.h"
#include "boot/bluetooth/DfuFile.h"
#include "tools/ChunkReader.h"
#include "tools/NumberText.h"
#include "tools/kx1/Command.h"

namespace Kx1 {
namespace {

using Boot::Bluetooth::DfuFileCheck;
using CoreSystem::Console;

// The header --wrap puts in front of a bare image: the magic, 8 zero bytes, then the info text
// in a NUL-padded 57-byte field, which is what the loader reads from a header.
constexpr std::string_view wrapMagic = "CSR-dfu2";
constexpr std::size_t wrapReservedSize = 8;
constexpr std::size_t wrapInfoSize = 57;

bool readWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::error_code ignored;
    std::ifstream file(path, std::ios::binary);
    if (!file || std::filesystem::is_directory(path, ignored)) {
        return false;
    }
    bytes.clear();
    return Packaging::ChunkReader::readToEnd(file, [&](std::span<const char> piece) {
        bytes.insert(bytes.end(), piece.begin(), piece.end());
        return true;
    });
}

bool startsWithMagic(const std::vector<std::uint8_t>& bytes) {
    const std::string_view start(reinterpret_cast<const char*>(bytes.data()),
                                 std::min<std::size_t>(bytes.size(), 8));
    return start == "CSR-dfu1" || start == "CSR-dfu2";
}

// A 16-bit option: absent gives `otherwise`; false when present but not a 16-bit number.
bool option16(const CommandLine& line, std::string_view name, std::uint16_t otherwise,
              std::uint16_t& value) {
    const auto text = line.value(name);
    if (!text) {
        value = otherwise;
        return true;
    }
    const auto number = Packaging::NumberText::parseUnsigned(*text);
    if (!number || *number > 0xFFFF) {
        return false;
    }
    value = static_cast<std::uint16_t>(*number);
    return true;
}

int make(const CommandLine& line) {
    const std::string& imagePath = line.positionals()[0];
    const std::string& outputPath = line.positionals()[1];
    std::uint16_t device = 0;
    std::uint16_t product = 0;
    std::uint16_t vendor = 0;
    for (const auto& [name, target] :
         {std::pair{"--device", &device}, {"--product", &product}, {"--vendor", &vendor}}) {
        if (!option16(line, name, 0xFFFF, *target)) {
            throw UsageError(std::string(name) + " takes a number from 0 to 0xffff");
        }
    }
    const auto info = line.value("--info");
    if (info && (!line.has("--wrap") || info->size() > wrapInfoSize)) {
        throw UsageError("--info goes with --wrap and holds at most 57 characters");
    }

    std::vector<std::uint8_t> image;
    if (!readWholeFile(imagePath, image)) {
        return line.fail("cannot read " + imagePath);
    }
    if (line.has("--wrap")) {
        std::vector<std::uint8_t> wrapped(wrapMagic.begin(), wrapMagic.end());
        wrapped.resize(wrapMagic.size() + wrapReservedSize + wrapInfoSize, 0);
        if (info) {
            std::copy(info->begin(), info->end(), wrapped.begin() + 16);
        }
        wrapped.insert(wrapped.end(), image.begin(), image.end());
        image = std::move(wrapped);
    } else if (!startsWithMagic(image)) {
        return line.fail(imagePath +
                         R"( does not begin with "CSR-dfu1" or "CSR-dfu2" (use --wrap))");
    }

    const std::vector<std::uint8_t> suffix =
        Boot::Bluetooth::dfuMakeSuffix(image, device, product, vendor);
    std::ofstream output(outputPath, std::ios::binary | std::ios::trunc);
    output.write(reinterpret_cast<const char*>(image.data()),
                 static_cast<std::streamsize>(image.size()));
    output.write(reinterpret_cast<const char*>(suffix.data()),
                 static_cast<std::streamsize>(suffix.size()));
    output.close();
    if (!output) {
        return line.fail("cannot write " + outputPath);
    }
    Console::printf(
        "%s: %zu bytes, device 0x%04x, CRC %s\n", outputPath.c_str(), image.size() + suffix.size(),
        device,
        Packaging::NumberText::hex32(CoreSystem::ByteOrder::loadLittleEndian32(&suffix[12]))
            .c_str());
    return exitSuccess;
}

int check(const CommandLine& line) {
    const std::string& path = line.positionals()[0];
    std::vector<std::uint8_t> file;
    if (!readWholeFile(path, file)) {
        return line.fail("cannot read " + path);
    }
    const Boot::Bluetooth::DfuFileDetails details = Boot::Bluetooth::dfuParseFile(file);
    if (details.check != DfuFileCheck::tooShort) {
        Boot::Bluetooth::dfuPrintFirmwareDetails(file, details);
        const Boot::Bluetooth::DfuSuffix& suffix = details.suffix;
        Console::printf(
            "Suffix:        device 0x%04x, product 0x%04x, vendor 0x%04x, version 0x%04x, "
            "length %u, CRC %s (computed %s)\n",
            suffix.device, suffix.product, suffix.vendor, suffix.version,
            static_cast<unsigned>(suffix.length),
            Packaging::NumberText::hex32(suffix.storedCrc).c_str(),
            Packaging::NumberText::hex32(suffix.computedCrc).c_str());
    }
    if (details.check != DfuFileCheck::ok) {
        return line.fail(
            path + " is broken: " + std::string(Boot::Bluetooth::dfuFileCheckText(details.check)));
    }
    Console::print("Firmware file: OK\n");
    return exitSuccess;
}

}  // namespace

Command dfuMakeCommand() {
    return {
        .name = "dfu make",
        .summary = "make a Bluetooth firmware file from an image",
        .usage = "IMAGE OUT.dfu [--device BCD] [--product ID] [--vendor ID] [--wrap [--info TEXT]]",
        .help =
            "Writes OUT.dfu: IMAGE followed by the 16-byte download suffix (device, product and\n"
            "vendor numbers, format version 0x0100, \"UFD\", length 16 and the CRC-32 over\n"
            "everything before the CRC). The numbers default to 0xffff; give them in decimal or\n"
            "with 0x. The unit's \"Firmware ID\" line reads the device number's hexadecimal\n"
            "digits as a decimal number and prints that in hexadecimal (0x1234 shows as 04d2).\n"
            "IMAGE must begin with \"CSR-dfu1\" or \"CSR-dfu2\"; with --wrap a bare image gets a\n"
            "minimal 73-byte header instead: \"CSR-dfu2\", 8 zero bytes and a 57-byte info field\n"
            "(--info TEXT, else empty). That header satisfies the unit's checks; the chip may\n"
            "still want its vendor's full header.\n",
        .options = {{"--device", OptionKind::value},
                    {"--product", OptionKind::value},
                    {"--vendor", OptionKind::value},
                    {"--info", OptionKind::value},
                    {"--wrap"}},
        .minimumArguments = 2,
        .maximumArguments = 2,
        .run = make,
    };
}

Command dfuCheckCommand() {
    return {
        .name = "dfu check",
        .summary = "check a Bluetooth firmware file as the unit does",
        .usage = "FILE",
        .help =
            "Prints the firmware details the unit prints (ID, type, info, size) and the suffix,\n"
            "then \"Firmware file: OK\", or names the check that failed on stderr and exits 1.\n"
            "Checks in order: the suffix signature \"UFD\", its length 16, its format version\n"
            "0x0100, its CRC, and the \"CSR-dfu1\" or \"CSR-dfu2\" magic at the start.\n",
        .minimumArguments = 1,
        .maximumArguments = 1,
        .run = check,
    };
}

}  // namespace Kx1
