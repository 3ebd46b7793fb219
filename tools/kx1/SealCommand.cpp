#include <string>

#include "CoreSystem/Console.h"
#include "tools/PackageSealCheck.h"
#include "tools/PackageSealer.h"
#include "tools/SealKeyFile.h"
#include "tools/kx1/Command.h"
#include "tools/kx1/TerminalProgress.h"

namespace Kx1 {
namespace {

int seal(const CommandLine& line) {
    const std::string& path = line.positionals().front();
    Boot::PackageSeal::Key key;
    std::string error;
    // Required: the parser made sure it is there.
    if (!Packaging::SealKeyFile::read(line.value("--seal-key").value(),
                                      Packaging::SealKeyFile::Use::seal, key, error)) {
        return line.fail(error);
    }
    Packaging::PackageSealer::Result result;
    TerminalProgress progress("sealing");
    const bool sealed = Packaging::PackageSealer::sealInPlace(
        path, key, result, error,
        [&](std::uint64_t done, std::uint64_t total) { progress.update(done, total); });
    progress.clear();
    if (!sealed) {
        return line.fail(error);
    }
    if (result.replaced) {
        CoreSystem::Console::print(
            "replaced seal: " + Packaging::PackageSealCheck::describeSeal(*result.replaced) + "\n");
    }
    CoreSystem::Console::print("sealed " + path + ": " +
                               Packaging::PackageSealCheck::describeSeal(result.seal) + ", over " +
                               std::to_string(result.coveredBytes) + " bytes\n");
    return exitSuccess;
}

}  // namespace

Command sealCommand() {
    return {
        .name = "seal",
        .summary = "seal an existing package with a seal key",
        .usage = "PACKAGE --seal-key PRIVATE.pem",
        .help =
            "Appends a seal to PACKAGE: a block after the last component's data holding a\n"
            "signature, made with the private half of a seal key (kx1 keygen --seal), over\n"
            "the SHA-256 of every byte before it. A loader built with the public half\n"
            "installs only packages sealed with it; other loaders ignore the seal.\n"
            "\n"
            "The package is copied to a new file beside it while it is hashed and each\n"
            "component's data is checked against its CRC; the seal is appended, the file\n"
            "synced and renamed over PACKAGE, so that PACKAGE is always either the old\n"
            "package or the sealed one. Its components must lie back to back after the\n"
            "signature block, as pack lays them out. A package that is already sealed is\n"
            "resealed: its seal is replaced (the old one is named), over the same bytes.\n"
            "Bytes after the data that are no well-formed seal are refused.\n"
            "\n"
            "Sealing needs no other key, so it can run on a machine that holds only the seal\n"
            "key, away from the build machines.\n"
            "\n"
            "options:\n"
            "  --seal-key PATH   the seal key's private half (\"PRIVATE KEY\", required)\n",
        .options = {{"--seal-key", OptionKind::requiredValue}},
        .minimumArguments = 1,
        .maximumArguments = 1,
        .run = seal,
    };
}

}  // namespace Kx1
