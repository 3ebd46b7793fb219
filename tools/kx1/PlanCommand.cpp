#include <filesystem>
#include <optional>
#include <string>

#include "CoreSystem/Console.h"
#include "boot/RsaKey.h"
#include "tools/LoaderKeyFile.h"
#include "tools/PackagePlan.h"
#include "tools/PackageReader.h"
#include "tools/PackageSealCheck.h"
#include "tools/kx1/Command.h"

namespace Kx1 {
namespace {

using Packaging::PackagePlan;

// The installed record to plan against: the one named, else the unit's own (none on a unit
// without one), else not known. False with `error` when a record named cannot be read.
bool readRecord(const CommandLine& line, std::optional<PackagePlan::InstalledVersions>& record,
                std::string& error) {
    if (const auto path = line.value("--record")) {
        return PackagePlan::readRecord(*path, record.emplace(), error);
    }
    const auto unitRoot = line.value("--unit");
    if (!unitRoot) {
        return true;
    }
    const std::string path = PackagePlan::unitRecordPath(*unitRoot);
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) {
        record.emplace();
        return true;
    }
    if (!PackagePlan::readRecord(path, record.emplace(), error)) {
        line.warn(error + "; the unit's versions are not known");
        record.reset();
    }
    return true;
}

int plan(const CommandLine& line) {
    const std::string& path = line.positionals().front();
    std::string error;
    std::optional<Boot::RsaKey> loaderKey;
    if (const auto keyPath = line.value("--key");
        keyPath &&
        !Packaging::LoaderKeyFile::read(
            *keyPath, "the loader's private key opens the signature and the part-number lock",
            loaderKey, error)) {
        return line.fail(error);
    }
    PackagePlan::Input input{.packagePath = path, .loaderKey = loaderKey ? &*loaderKey : nullptr};
    if (const auto unitRoot = line.value("--unit")) {
        std::error_code ignored;
        if (!std::filesystem::is_directory(*unitRoot, ignored)) {
            return line.fail(*unitRoot + " is no unit root folder");
        }
        if (!PackagePlan::readUnit(*unitRoot, input.unit, error)) {
            line.warn(error + "; its numbers are not known");
        }
    }
    if (!readRecord(line, input.record, error)) {
        return line.fail(error);
    }
    Packaging::PackageReader package;
    if (!package.open(path, error)) {
        return line.fail(error);
    }
    if (package.kind() != Packaging::PackageReader::Kind::package) {
        return line.fail(path + " is an installed record, not a package");
    }
    const Packaging::PackageSealCheck seal(package, nullptr);
    input.sealStatus = seal.found();
    input.seal = seal.seal();
    const PackagePlan result = PackagePlan::make(package, input);
    CoreSystem::Console::print(line.has("--json") ? result.json() : result.text());
    return exitSuccess;
}

}  // namespace

Command planCommand() {
    return {
        .name = "plan",
        .summary = "show what installing a package would do on a unit",
        .usage =
            "PACKAGE [--record installed.kx1] [--unit UNIT_ROOT] [--key PRIVATE.pem]\n"
            "[--json]",
        .help =
            "Shows, without changing anything, what the loader would do with PACKAGE:\n"
            "  - the unit's checks in the order it makes them (hardware family, part and\n"
            "    serial numbers, signature, password, part-number lock, component data), each\n"
            "    passing, failing with the status that ends the install, asking for a\n"
            "    password, or not known;\n"
            "  - each component in install order: type and name, version, the version the\n"
            "    record holds and whether it is new, the same, newer or older, whether the\n"
            "    data partition is wiped before it (from the IPL component on) and what it\n"
            "    replaces;\n"
            "  - the status the install would end with, the installed record the unit would\n"
            "    hold afterwards and its size, and the bytes of component data installed.\n"
            "Only the header, the table, the seal block and the records are read, so the\n"
            "answer comes at once for a package of any size; the CRCs of the component data\n"
            "are left to verify.\n"
            "\n"
            "options:\n"
            "  --record PATH   the unit's installed record (installed.kx1)\n"
            "  --unit ROOT     a simulated unit's root: its numbers from its factory data,\n"
            "                  and its installed record unless --record names one\n"
            "  --key PATH      the loader's private key, to open the signature and the\n"
            "                  part-number lock (without it those checks are not known)\n"
            "  --json          print one JSON object instead, for scripts\n",
        .options = {{"--record", OptionKind::value},
                    {"--unit", OptionKind::value},
                    {"--key", OptionKind::value},
                    {"--json"}},
        .minimumArguments = 1,
        .maximumArguments = 1,
        .run = plan,
    };
}

}  // namespace Kx1
