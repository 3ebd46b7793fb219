#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "CoreSystem/CRC32.h"
#include "CoreSystem/Console.h"
#include "tools/ChunkReader.h"
#include "tools/kx1/Command.h"

namespace Kx1 {
namespace {

int crc(const CommandLine& line) {
    const CoreSystem::CRC32 checksum;
    int status = exitSuccess;
    for (const std::string& path : line.positionals()) {
        std::error_code ignored;
        std::ifstream file(path, std::ios::binary);
        std::uint32_t value = checksum.startValue(CoreSystem::CRC32::packageSeed);
        const bool read = file && !std::filesystem::is_directory(path, ignored) &&
                          Packaging::ChunkReader::readToEnd(file, [&](std::span<const char> piece) {
                              value = checksum.update(value, piece.data(), piece.size());
                              return true;
                          });
        if (!read) {
            status = line.fail("cannot read " + path);
            continue;
        }
        CoreSystem::Console::printf("%08" PRIx32 "  %s\n", value, path.c_str());
    }
    return status;
}

}  // namespace

Command crcCommand() {
    return {
        .name = "crc",
        .summary = "print the package CRC-32 of whole files",
        .usage = "FILE...",
        .help =
            "Prints the package CRC-32 of each FILE as the unit computes it (start value of\n"
            "the seed 0xEDB88320, no final XOR), in hexadecimal, one line per file:\n"
            "  6826eb82  empty.bin\n"
            "The exit status is 1 when a file cannot be read; the others are still printed.\n",
        .minimumArguments = 1,
        .maximumArguments = CoreSystem::anyNumber,
        .run = crc,
    };
}

}  // namespace Kx1
