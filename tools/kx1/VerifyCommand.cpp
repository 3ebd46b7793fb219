#include <optional>
#include <string>

#include "CoreSystem/Console.h"
#include "boot/RsaKey.h"
#include "tools/LoaderKeyFile.h"
#include "tools/PackageReader.h"
#include "tools/PackageSealCheck.h"
#include "tools/PackageVerifier.h"
#include "tools/SealKeyFile.h"
#include "tools/kx1/Command.h"
#include "tools/kx1/TerminalProgress.h"

namespace Kx1 {
namespace {

// What follows the data when no seal key was given: reported, not checked.
void reportUncheckedSeal(Packaging::PackageReader& package) {
    const Packaging::PackageSealCheck seal(package, nullptr);
    if (seal.found() == Packaging::PackageSealCheck::Status::valid) {
        CoreSystem::Console::print(
            "seal: " + Packaging::PackageSealCheck::describeSeal(*seal.seal()) + ", not checked\n");
    } else if (seal.bytesAfterData().value_or(0) > 0) {
        CoreSystem::Console::print("seal: unreadable (" + seal.problem(seal.found()) +
                                   "), not checked\n");
    }
}

int verify(const CommandLine& line) {
    // Required: the parser made sure it is there.
    std::optional<Boot::RsaKey> key;
    std::string error;
    if (!Packaging::LoaderKeyFile::read(line.value("--key").value(),
                                        "verify needs the private half", key, error)) {
        return line.fail(error);
    }
    std::optional<Boot::PackageSeal::Key> sealKey;
    if (!Packaging::SealKeyFile::readGiven(line.value("--seal-key"),
                                           Packaging::SealKeyFile::Use::check, sealKey, error)) {
        return line.fail(error);
    }
    const std::string& path = line.positionals().front();
    Packaging::PackageReader package;
    if (!package.open(path, error)) {
        return line.fail(error);
    }
    if (package.kind() == Packaging::PackageReader::Kind::installedRecord) {
        return line.fail(path + " is an installed record, not a package");
    }
    Packaging::PackageVerifier verifier(package, *key);
    TerminalProgress progress("verifying");
    std::size_t failures = 0;
    std::string firstFailure;
    const bool passed = verifier.verify(
        {.password = line.value("--password"), .partNumber = line.value("--part-number")},
        [&](const Packaging::PackageVerifier::Check& check) {
            progress.clear();
            CoreSystem::Console::print(check.line + "\n");
            if (!check.passed && failures++ == 0) {
                firstFailure = check.line;
            }
        },
        [&](std::uint64_t done, std::uint64_t total) { progress.update(done, total); },
        sealKey ? &*sealKey : nullptr);
    progress.clear();
    if (!sealKey) {
        reportUncheckedSeal(package);
    }
    if (!passed) {
        return line.fail(failures == 1 ? "1 check failed: " + firstFailure
                                       : std::to_string(failures) +
                                             " checks failed, the first: " + firstFailure);
    }
    CoreSystem::Console::print("verified: every check passed\n");
    return exitSuccess;
}

}  // namespace

Command verifyCommand() {
    return {
        .name = "verify",
        .summary = "check a package as the unit does, with the private key",
        .usage =
            "FILE --key PRIVATE.pem [--password TEXT] [--part-number TEXT]\n"
            "[--seal-key SEAL.public.pem]",
        .help =
            "Checks FILE the way the unit does and prints one line per check:\n"
            "  signature     the signature block opens with the private key and seals the\n"
            "                CRC of header and table\n"
            "  password      with --password: the package asks for one and its sealed text\n"
            "                is exactly TEXT\n"
            "  part number   with --part-number: the same for the part-number lock\n"
            "  component N   its type is valid, its data lies inside the file and below\n"
            "                4 GiB, and the CRC of its data matches the table\n"
            "  seal          with --seal-key: a seal follows the data, made with that key over\n"
            "                every byte before it (hashed in the same pass as the CRCs), as a\n"
            "                loader built with the key requires; the line names what is wrong:\n"
            "                no seal, sealed with another key (and which), seal does not match\n"
            "                the package, seal cut short, ...\n"
            "Without --seal-key a seal after the data is shown (algorithm and key\n"
            "fingerprint) with \"not checked\".\n"
            "The exit status is 1 when any check fails; stderr then names the first.\n"
            "\n"
            "options:\n"
            "  --key PATH           the private key (\"RSA PRIVATE KEY\") the unit carries\n"
            "  --password TEXT      the password a user would type\n"
            "  --part-number TEXT   the unit's part number\n"
            "  --seal-key PATH      the seal key (its public half is enough) the package must\n"
            "                       be sealed with\n",
        .options = {{"--key", OptionKind::requiredValue},
                    {"--password", OptionKind::value},
                    {"--part-number", OptionKind::value},
                    {"--seal-key", OptionKind::value}},
        .minimumArguments = 1,
        .maximumArguments = 1,
        .run = verify,
    };
}

}  // namespace Kx1
