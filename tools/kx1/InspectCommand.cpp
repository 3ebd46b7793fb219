#include <optional>
#include <string>

#include "CoreSystem/Console.h"
#include "tools/PackageReader.h"
#include "tools/PackageReport.h"
#include "tools/PackageSealCheck.h"
#include "tools/SealKeyFile.h"
#include "tools/kx1/Command.h"

namespace Kx1 {
namespace {

int inspect(const CommandLine& line) {
    const std::string& path = line.positionals().front();
    const bool asRecord = line.has("--record");
    const auto sealKeyPath = line.value("--seal-key");
    if (sealKeyPath && asRecord) {
        throw UsageError("--seal-key checks a package's seal; an installed record has none");
    }
    std::optional<Boot::PackageSeal::Key> sealKey;
    std::string error;
    if (!Packaging::SealKeyFile::readGiven(sealKeyPath, Packaging::SealKeyFile::Use::check, sealKey,
                                           error)) {
        return line.fail(error);
    }
    Packaging::PackageReader package;
    if (!package.open(path, error,
                      asRecord ? Packaging::PackageReader::Expect::installedRecord
                               : Packaging::PackageReader::Expect::automatic)) {
        return line.fail(error);
    }
    std::optional<Packaging::PackageSealCheck> seal;
    if (package.kind() == Packaging::PackageReader::Kind::package) {
        seal.emplace(package, sealKey ? &*sealKey : nullptr);
        if (!seal->feedData(package, error)) {
            return line.fail(error);
        }
        seal->finish();
    } else if (sealKey) {
        return line.fail(path + " is an installed record, which carries no seal");
    }
    const Packaging::PackageSealCheck* found = seal ? &*seal : nullptr;
    CoreSystem::Console::print(line.has("--json")
                                   ? Packaging::PackageReport::json(package, path, found)
                                   : Packaging::PackageReport::text(package, path, found));
    return exitSuccess;
}

}  // namespace

Command inspectCommand() {
    return {
        .name = "inspect",
        .summary = "show the header, table and seal of a package or installed record",
        .usage = "FILE [--json] [--record] [--seal-key KEY.pem]",
        .help =
            "Shows the header of FILE (magic, hardware family, flags and what they mean,\n"
            "count), the CRC of header and table that the signature seals, the seal after the\n"
            "component data (its algorithm and key fingerprint) and the table: index, type\n"
            "number and name, version as stored and dotted, size, offset and CRC of each\n"
            "component. An installed record (installed.kx1, whose records hold only type and\n"
            "version) is recognised and shown as such. Nothing is checked but the seal, and\n"
            "that only with --seal-key, which reads the whole package; use verify for the rest.\n"
            "\n"
            "options:\n"
            "  --json             print one JSON object instead, for scripts\n"
            "  --record           read FILE as an installed record\n"
            "  --seal-key PATH    check that the seal verifies with this seal key (either half)\n",
        .options = {{"--json"}, {"--record"}, {"--seal-key", OptionKind::value}},
        .minimumArguments = 1,
        .maximumArguments = 1,
        .run = inspect,
    };
}

}  // namespace Kx1
