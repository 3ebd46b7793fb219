#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "CoreSystem/Console.h"
#include "tools/ComponentNames.h"
#include "tools/NumberText.h"
#include "tools/PackageReader.h"
#include "tools/kx1/Command.h"
#include "tools/kx1/TerminalProgress.h"

namespace Kx1 {
namespace {

bool sameFile(const std::string& first, const std::string& second) {
    struct stat firstStatus {};
    struct stat secondStatus {};
    return stat(first.c_str(), &firstStatus) == 0 && stat(second.c_str(), &secondStatus) == 0 &&
           firstStatus.st_dev == secondStatus.st_dev && firstStatus.st_ino == secondStatus.st_ino;
}

int extract(const CommandLine& line) {
    const std::string& path = line.positionals()[0];
    const std::string& outputPath = line.positionals()[2];
    const std::optional<std::uint64_t> index =
        Packaging::NumberText::parseUnsigned(line.positionals()[1]);
    if (!index) {
        throw UsageError("the index '" + line.positionals()[1] + "' is not a number");
    }
    Packaging::PackageReader package;
    std::string error;
    if (!package.open(path, error)) {
        return line.fail(error);
    }
    if (*index >= package.entries().size()) {
        return line.fail(path + " has no component " + std::to_string(*index) + " (it has " +
                         std::to_string(package.entries().size()) + ")");
    }
    // Opening the output would empty the package before it is read.
    if (sameFile(path, outputPath)) {
        return line.fail("the output " + outputPath + " is the package itself");
    }
    std::ofstream output(outputPath, std::ios::binary | std::ios::trunc);
    if (!output) {
        return line.fail("cannot create " + outputPath);
    }
    const Boot::ComponentEntry& entry = package.entries()[*index];
    std::uint32_t computed = 0;
    std::uint64_t done = 0;
    TerminalProgress progress("extracting");
    const bool copied = package.readComponent(
        *index,
        [&](std::span<const char> piece) {
            done += piece.size();
            progress.update(done, entry.size);
            return static_cast<bool>(
                output.write(piece.data(), static_cast<std::streamsize>(piece.size())));
        },
        computed, error);
    progress.clear();
    output.close();
    if (!copied || !output) {
        std::remove(outputPath.c_str());
        return line.fail(output ? error : "cannot write " + outputPath);
    }
    const std::string subject = "component " + std::to_string(*index) + " (" +
                                Packaging::ComponentNames::nameOf(entry.type) + ")";
    if (computed != entry.crc) {
        return line.fail("wrote " + subject + " to " + outputPath + ", but its data CRC " +
                         Packaging::NumberText::hex32(computed) + " differs from the table's " +
                         Packaging::NumberText::hex32(entry.crc));
    }
    CoreSystem::Console::print("wrote " + subject + " to " + outputPath + ": " +
                               std::to_string(entry.size) + " bytes, crc ok\n");
    return exitSuccess;
}

}  // namespace

Command extractCommand() {
    return {
        .name = "extract",
        .summary = "copy the data of one component to a file",
        .usage = "FILE INDEX OUT",
        .help =
            "Copies the data of component INDEX (0 for the first row of the table) of the\n"
            "package FILE to OUT, and checks it against the CRC in the table. When the CRC\n"
            "differs, OUT is kept for examination and the exit status is 1.\n",
        .minimumArguments = 3,
        .maximumArguments = 3,
        .run = extract,
    };
}

}  // namespace Kx1
