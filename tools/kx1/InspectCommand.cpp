#include <string>

#include "CoreSystem/Console.h"
#include "tools/PackageReader.h"
#include "tools/PackageReport.h"
#include "tools/kx1/Command.h"

namespace Kx1 {
namespace {

int inspect(const CommandLine& line) {
    const std::string& path = line.positionals().front();
    Packaging::PackageReader package;
    std::string error;
    if (!package.open(path, error,
                      line.has("--record") ? Packaging::PackageReader::Expect::installedRecord
                                           : Packaging::PackageReader::Expect::automatic)) {
        return line.fail(error);
    }
    CoreSystem::Console::print(line.has("--json") ? Packaging::PackageReport::json(package, path)
                                                  : Packaging::PackageReport::text(package, path));
    return exitSuccess;
}

}  // namespace

Command inspectCommand() {
    return {
        .name = "inspect",
        .summary = "show the header and table of a package or installed record",
        .usage = "FILE [--json] [--record]",
        .help =
            "Shows the header of FILE (magic, hardware family, flags and what they mean,\n"
            "count), the CRC of header and table that the signature seals, and the table:\n"
            "index, type number and name, version as stored and dotted, size, offset and\n"
            "CRC of each component. An installed record (installed.kx1, whose records hold\n"
            "only type and version) is recognised and shown as such. Nothing is checked;\n"
            "use verify for that.\n"
            "\n"
            "options:\n"
            "  --json     print one JSON object instead, for scripts\n"
            "  --record   read FILE as an installed record\n",
        .options = {{"--json"}, {"--record"}},
        .minimumArguments = 1,
        .maximumArguments = 1,
        .run = inspect,
    };
}

}  // namespace Kx1
