#include "tools/PackagePlan.h"

#include <algorithm>
#include <array>

#include <nlohmann/json.hpp>

#include "CoreSystem/ByteOrder.h"
#include "CoreSystem/CRC32.h"
#include "tools/ComponentNames.h"
#include "tools/ComponentVersion.h"
#include "tools/NumberText.h"
#include "tools/PackageSealCheck.h"
#include "tools/PackageVerifier.h"
#include "tools/TextFile.h"

namespace Packaging {
namespace {

namespace Type = Boot::ComponentType;
using Boot::InstallStatus;
using Json = nlohmann::ordered_json;
using Outcome = PackagePlan::Outcome;

// The simulated unit's factory data block 1: part number in word 0, serial number in the first
// of words 1, 3 and 5 that is not erased, variant code in word 9, and the package CRC-32 of the
// first 252 bytes in its last word.
constexpr const char* factoryBlock1Path = "/var/sim/factory/block1.bin";
constexpr std::size_t factoryBlockSize = 256;
constexpr std::uint32_t erasedWord = 0xFFFFFFFF;
constexpr std::array<std::size_t, 3> serialNumberWords = {1, 3, 5};
constexpr std::uint32_t highestVariantCode = 2;

constexpr const char* wipedText =
    "nvdata/, root/, script/, temp/, ProductionTest, DvTest and installed.kx1";

std::uint32_t wordOf(const std::string& block, std::size_t index) {
    return CoreSystem::ByteOrder::loadLittleEndian32(
        reinterpret_cast<const std::uint8_t*>(block.data()) + index * 4);
}

std::string replacesText(std::uint32_t type) {
    switch (type) {
        case Type::preInstallCheck:
            return "nothing; checks that the data root exists";
        case Type::bootstrap:
            return "the bootstrap in QSPI-NOR flash";
        case Type::operatingSystem:
            return "the folder os/";
        case Type::application:
            return "the folder app/; empties script/ and temp/";
        case Type::configuration:
            return "the folder config/";
        case Type::bluetoothFirmware:
            return "the Bluetooth module's firmware";
        case Type::ioMicrocontrollerFirmware:
            return "the I/O microcontroller's firmware";
        case Type::initialProgramLoader:
            return "the IPL in QSPI-NOR flash";
        case Type::touchFirmware:
            return "the touch controller's firmware";
        case Type::mediaImage:
            return "the media image media.ifs";
        case Type::mapsEngine:
            return "the folder map/NNGMapsEngine/";
        case Type::postInstallStep:
            return "nothing";
        case Type::acceptedWithoutInstaller13:
        case Type::acceptedWithoutInstaller14:
            return "nothing; no installer";
        case Type::customFiles:
            return "unpacks into temp/ and runs temp/install.sh as root";
        default:
            return "nothing; the install stops here";
    }
}

std::string outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::passes:
            return "passes";
        case Outcome::fails:
            return "fails";
        case Outcome::asksForPassword:
            return "asks for a password";
        case Outcome::unknown:
            return "not known";
    }
    return "not known";
}

std::string changeName(PackagePlan::Change change) {
    switch (change) {
        case PackagePlan::Change::added:
            return "new";
        case PackagePlan::Change::same:
            return "same";
        case PackagePlan::Change::newer:
            return "newer";
        case PackagePlan::Change::older:
            return "older";
        case PackagePlan::Change::unknown:
            return "not known";
    }
    return "not known";
}

std::string recordAfterName(PackagePlan::RecordAfter recordAfter) {
    switch (recordAfter) {
        case PackagePlan::RecordAfter::rewritten:
            return "rewritten";
        case PackagePlan::RecordAfter::unchanged:
            return "unchanged";
        case PackagePlan::RecordAfter::removed:
            return "removed";
    }
    return "unchanged";
}

std::string statusNumber(InstallStatus status) {
    return std::to_string(static_cast<std::uint32_t>(status));
}

std::string versionText(std::uint32_t version) {
    return std::to_string(version) + " (" + ComponentVersion::format(version) + ")";
}

PackagePlan::Check check(std::string name, Outcome outcome, InstallStatus failureStatus,
                         std::string detail) {
    return {.name = std::move(name),
            .outcome = outcome,
            .failureStatus = failureStatus,
            .detail = std::move(detail)};
}

// A number the unit must have: known and not 0 passes, 0 fails.
PackagePlan::Check numberCheck(std::string name, const std::optional<std::uint32_t>& number,
                               InstallStatus failureStatus) {
    if (!number) {
        return check(std::move(name), Outcome::unknown, failureStatus, "the unit's is not known");
    }
    if (*number == 0) {
        return check(std::move(name), Outcome::fails, failureStatus, "the unit has none");
    }
    return check(std::move(name), Outcome::passes, failureStatus,
                 "the unit's is " + std::to_string(*number));
}

PackagePlan::Check verifierCheck(std::string name, const PackageVerifier::Check& verdict,
                                 InstallStatus failureStatus) {
    return check(std::move(name), verdict.passed ? Outcome::passes : Outcome::fails, failureStatus,
                 verdict.line);
}

std::vector<PackagePlan::Check> checksOf(PackageReader& package, const PackagePlan::Input& input) {
    const Boot::PackageHeader& header = package.header();
    std::vector<PackagePlan::Check> checks;
    checks.push_back(check("load", Outcome::passes, InstallStatus::invalidFile,
                           "magic " + NumberText::hex32(header.magic())));

    const std::string packageFamily = "package " + std::to_string(header.hardwareFamily());
    if (!input.unit.hardwareFamily) {
        checks.push_back(check("hardware family", Outcome::unknown,
                               InstallStatus::hardwareFamilyMismatch,
                               packageFamily + ", the unit's is not known"));
    } else {
        checks.push_back(
            check("hardware family",
                  header.hardwareFamily() == *input.unit.hardwareFamily ? Outcome::passes
                                                                        : Outcome::fails,
                  InstallStatus::hardwareFamilyMismatch,
                  packageFamily + ", unit " + std::to_string(*input.unit.hardwareFamily)));
    }
    checks.push_back(
        numberCheck("part number", input.unit.partNumber, InstallStatus::missingPartNumber));
    checks.push_back(
        numberCheck("serial number", input.unit.serialNumber, InstallStatus::missingSerialNumber));

    std::optional<PackageVerifier> verifier;
    if (input.loaderKey != nullptr) {
        verifier.emplace(package, *input.loaderKey);
    }
    if (verifier) {
        checks.push_back(
            verifierCheck("signature", verifier->checkSignature(), InstallStatus::invalidFile));
    } else {
        checks.push_back(check("signature", Outcome::unknown, InstallStatus::invalidFile,
                               "opening it needs the loader's private key"));
    }

    if ((header.flags() & Boot::flagPasswordProtected) != 0) {
        checks.push_back(check("password", Outcome::asksForPassword,
                               InstallStatus::passwordIncorrect,
                               "a wrong password ends the install"));
    } else {
        checks.push_back(check("password", Outcome::passes, InstallStatus::passwordIncorrect,
                               "not password protected"));
    }

    if ((header.flags() & Boot::flagPartNumberLocked) == 0) {
        checks.push_back(check("part-number lock", Outcome::passes,
                               InstallStatus::partNumberMismatch, "not locked"));
    } else if (verifier) {
        checks.push_back(verifierCheck(
            "part-number lock",
            verifier->checkText("part number", Boot::flagPartNumberLocked, header.partNumberBlock(),
                                std::string(Boot::lockedPartNumber)),
            InstallStatus::partNumberMismatch));
    } else {
        checks.push_back(
            check("part-number lock", Outcome::unknown, InstallStatus::partNumberMismatch,
                  std::string("locked; the unit compares the locked text with ") +
                      Boot::lockedPartNumber + ", which needs the loader's private key"));
    }

    const auto outside =
        std::find_if(package.entries().begin(), package.entries().end(),
                     [&](const Boot::ComponentEntry& entry) { return !package.withinFile(entry); });
    if (outside != package.entries().end()) {
        checks.push_back(check("component data", Outcome::fails, InstallStatus::invalidFile,
                               "component " + std::to_string(outside - package.entries().begin()) +
                                   " lies beyond the end of the file"));
    } else if (package.entries().empty()) {
        checks.push_back(
            check("component data", Outcome::passes, InstallStatus::invalidFile, "no components"));
    } else {
        checks.push_back(check("component data", Outcome::unknown, InstallStatus::invalidFile,
                               "the data's CRCs are not read (kx1 verify reads them)"));
    }
    return checks;
}

PackagePlan::Change changeOf(std::uint32_t version,
                             const std::optional<std::uint32_t>& recordedVersion,
                             bool recordKnown) {
    if (!recordKnown) {
        return PackagePlan::Change::unknown;
    }
    if (!recordedVersion) {
        return PackagePlan::Change::added;
    }
    if (version == *recordedVersion) {
        return PackagePlan::Change::same;
    }
    return version > *recordedVersion ? PackagePlan::Change::newer : PackagePlan::Change::older;
}

std::vector<PackagePlan::Step> stepsOf(
    const PackageReader& package, const std::optional<PackagePlan::InstalledVersions>& record) {
    std::vector<PackagePlan::Step> steps;
    bool wipe = false;
    bool reached = true;
    for (std::size_t index = 0; index < package.entries().size(); ++index) {
        const Boot::ComponentEntry& entry = package.entries()[index];
        PackagePlan::Step step{.index = index, .entry = entry};
        if (record) {
            if (const auto found = record->find(static_cast<std::int32_t>(entry.type));
                found != record->end()) {
                step.recordedVersion = found->second;
            }
        }
        step.change = changeOf(entry.version, step.recordedVersion, record.has_value());
        step.validType = entry.type >= Type::lowest && entry.type <= Type::highest;
        step.installs = step.validType && entry.type != Type::acceptedWithoutInstaller13 &&
                        entry.type != Type::acceptedWithoutInstaller14;
        // The unit stops at an invalid type before it would wipe anything for it.
        wipe = wipe || entry.type == Type::initialProgramLoader;
        step.wipesDataPartition = step.validType && wipe;
        step.reached = reached;
        step.replaces = replacesText(entry.type);
        reached = reached && step.validType;
        steps.push_back(step);
    }
    return steps;
}

void decideResult(PackagePlan& plan) {
    bool everyEarlierPasses = true;
    for (const PackagePlan::Check& entry : plan.checks) {
        if (entry.outcome == Outcome::fails) {
            plan.expectedStatus = entry.failureStatus;
            plan.certain = everyEarlierPasses;
            plan.recordAfter = PackagePlan::RecordAfter::unchanged;
            for (PackagePlan::Step& step : plan.steps) {
                step.reached = false;
            }
            return;
        }
        everyEarlierPasses = everyEarlierPasses && entry.outcome == Outcome::passes;
    }
    plan.certain = everyEarlierPasses;
    bool wiped = false;
    for (const PackagePlan::Step& step : plan.steps) {
        if (!step.reached) {
            break;
        }
        if (!step.validType) {
            plan.expectedStatus = InstallStatus::invalidComponentType;
            // The wipe before an IPL removes the record, and a stopped install writes none.
            plan.recordAfter =
                wiped ? PackagePlan::RecordAfter::removed : PackagePlan::RecordAfter::unchanged;
            return;
        }
        wiped = wiped || step.wipesDataPartition;
        if (step.installs) {
            plan.componentBytes += step.entry.size;
        }
    }
    plan.expectedStatus = InstallStatus::success;
    plan.recordAfter = PackagePlan::RecordAfter::rewritten;
    // The unit keeps the versions it read at start in memory, even those of a record the wipe
    // removed, and adds each installed component's.
    plan.recordVersionsAfter = plan.recordBefore.value_or(PackagePlan::InstalledVersions{});
    for (const PackagePlan::Step& step : plan.steps) {
        if (step.installs) {
            plan.recordVersionsAfter[static_cast<std::int32_t>(step.entry.type)] =
                step.entry.version;
        }
    }
    if (plan.recordBefore) {
        plan.recordBytes = Boot::packageHeaderSize +
                           Boot::componentEntrySize * plan.recordVersionsAfter.size() +
                           Boot::signatureBlockSize;
    }
}

std::string column(const std::string& text, std::size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string knownNumber(const std::optional<std::uint32_t>& number) {
    return number ? std::to_string(*number) : "not known";
}

std::string resultText(const PackagePlan& plan) {
    const std::string status = "status " + statusNumber(plan.expectedStatus);
    if (plan.expectedStatus == InstallStatus::invalidComponentType) {
        const auto stop =
            std::find_if(plan.steps.begin(), plan.steps.end(),
                         [](const PackagePlan::Step& step) { return !step.validType; });
        return status + " at component " + std::to_string(stop->index) + " (type " +
               std::to_string(stop->entry.type) + "), after the components before it" +
               (plan.certain ? "" : ", if the checks before it pass");
    }
    if (plan.expectedStatus != InstallStatus::success) {
        const auto failing = std::find_if(
            plan.checks.begin(), plan.checks.end(),
            [](const PackagePlan::Check& entry) { return entry.outcome == Outcome::fails; });
        return status + " at the " + failing->name + " check" +
               (plan.certain ? "" : " at the latest") + "; nothing on the unit changes";
    }
    std::vector<std::string> conditions;
    for (const PackagePlan::Check& entry : plan.checks) {
        if (entry.outcome == Outcome::asksForPassword) {
            conditions.emplace_back("the password typed is right");
        } else if (entry.outcome == Outcome::unknown) {
            conditions.push_back("the " + entry.name + " check passes");
        }
    }
    conditions.emplace_back("every installer succeeds");
    std::string text = status + " (installed) if ";
    for (std::size_t index = 0; index < conditions.size(); ++index) {
        text += (index == 0                       ? ""
                 : index + 1 == conditions.size() ? " and "
                                                  : ", ") +
                conditions[index];
    }
    return text;
}

Json versionsJson(const PackagePlan::InstalledVersions& versions) {
    Json list = Json::array();
    for (const auto& [type, version] : versions) {
        list.push_back({{"type", type},
                        {"typeName", ComponentNames::nameOf(static_cast<std::uint32_t>(type))},
                        {"version", version},
                        {"versionText", ComponentVersion::format(version)}});
    }
    return list;
}

template <typename Value>
Json optionalJson(const std::optional<Value>& value) {
    return value ? Json(*value) : Json(nullptr);
}

}  // namespace

PackagePlan PackagePlan::make(PackageReader& package, const Input& input) {
    PackagePlan plan;
    plan.packagePath = input.packagePath;
    plan.fileSize = package.fileSize();
    plan.hardwareFamily = package.header().hardwareFamily();
    plan.flags = package.header().flags();
    plan.unit = input.unit;
    plan.recordBefore = input.record;
    plan.sealStatus = input.sealStatus;
    plan.seal = input.seal;
    plan.checks = checksOf(package, input);
    plan.steps = stepsOf(package, input.record);
    decideResult(plan);
    return plan;
}

std::string PackagePlan::text() const {
    std::string text =
        column("package", 17) + packagePath + " (" + std::to_string(fileSize) +
        " bytes, hardware family " + std::to_string(hardwareFamily) + ", " +
        std::to_string(steps.size()) + " components)\n" + column("unit", 17) + "hardware family " +
        knownNumber(unit.hardwareFamily) + ", part number " + knownNumber(unit.partNumber) +
        ", serial number " + knownNumber(unit.serialNumber) + "\n" + column("record", 17) +
        (recordBefore ? std::to_string(recordBefore->size()) + " versions" : "not known") + "\n";
    text += column("seal", 17) +
            (sealStatus == Boot::PackageSeal::Status::valid && seal
                 ? PackageSealCheck::describeSeal(*seal)
                 : std::string(Boot::PackageSeal::describe(sealStatus))) +
            " (only a loader built with a seal key checks it)\n";

    text += "\nchecks, in the order the unit makes them:\n";
    for (const Check& entry : checks) {
        const std::string outcome = entry.outcome == Outcome::fails
                                        ? "fails, status " + statusNumber(entry.failureStatus)
                                        : outcomeName(entry.outcome);
        std::string line = "  " + column(entry.name, 18) + column(outcome, 21) + entry.detail;
        line.erase(line.find_last_not_of(' ') + 1);
        text += line + "\n";
    }

    text += "\ncomponents, in install order:\n";
    text += "  " + column("index", 7) + column("type", 5) + column("name", 14) +
            column("version", 22) + column("on the unit", 22) + column("change", 11) +
            column("wipes", 7) + "replaces\n";
    for (const Step& step : steps) {
        std::string line = "  " + column(std::to_string(step.index), 7) +
                           column(std::to_string(step.entry.type), 5) +
                           column(ComponentNames::nameOf(step.entry.type), 14) +
                           column(versionText(step.entry.version), 22) +
                           column(step.recordedVersion ? versionText(*step.recordedVersion)
                                                       : (recordBefore ? "none" : "not known"),
                                  22) +
                           column(changeName(step.change), 11) +
                           column(step.wipesDataPartition ? "yes" : "no", 7) + step.replaces +
                           (step.reached ? "" : " (not reached)");
        text += line + "\n";
    }
    if (std::any_of(steps.begin(), steps.end(),
                    [](const Step& step) { return step.wipesDataPartition; })) {
        text += std::string("  wipes: removes ") + wipedText + " of /fs/etfs/ first\n";
    }

    text += "\n" + column("result", 17) + resultText(*this) + "\n";
    text += column("record after", 17) + recordAfterName(recordAfter);
    if (recordAfter == RecordAfter::rewritten) {
        text += recordBytes ? ", " + std::to_string(*recordBytes) + " bytes"
                            : ", with the versions the unit's record holds besides these";
        text += ":\n";
        for (const auto& [type, version] : recordVersionsAfter) {
            text += "  " + column(std::to_string(type), 5) +
                    column(ComponentNames::nameOf(static_cast<std::uint32_t>(type)), 14) +
                    versionText(version) + "\n";
        }
    } else {
        text += recordAfter == RecordAfter::removed
                    ? " (the wipe before the IPL removes it and the stopped install writes none)\n"
                    : "\n";
    }
    text += column("component data", 17) + std::to_string(componentBytes) +
            " bytes read by the installers\n";
    return text;
}

std::string PackagePlan::json() const {
    Json checksJson = Json::array();
    for (const Check& entry : checks) {
        checksJson.push_back({{"name", entry.name},
                              {"outcome", outcomeName(entry.outcome)},
                              {"failureStatus", static_cast<std::uint32_t>(entry.failureStatus)},
                              {"detail", entry.detail}});
    }
    Json stepsJson = Json::array();
    for (const Step& step : steps) {
        stepsJson.push_back({{"index", step.index},
                             {"type", step.entry.type},
                             {"typeName", ComponentNames::nameOf(step.entry.type)},
                             {"version", step.entry.version},
                             {"versionText", ComponentVersion::format(step.entry.version)},
                             {"recordedVersion", optionalJson(step.recordedVersion)},
                             {"change", changeName(step.change)},
                             {"validType", step.validType},
                             {"installs", step.installs},
                             {"wipesDataPartition", step.wipesDataPartition},
                             {"reached", step.reached},
                             {"replaces", step.replaces},
                             {"size", step.entry.size}});
    }
    Json sealJson = {{"status", std::string(Boot::PackageSeal::describe(sealStatus))}};
    if (sealStatus == Boot::PackageSeal::Status::valid && seal) {
        sealJson["algorithm"] = std::string(Boot::PackageSeal::nameOf(seal->algorithm()));
        sealJson["fingerprint"] = Boot::PackageSeal::hex(seal->fingerprint());
    }
    const Json result = {
        {"package",
         {{"file", packagePath},
          {"fileSize", fileSize},
          {"hardwareFamily", hardwareFamily},
          {"flags", flags}}},
        {"unit",
         {{"hardwareFamily", optionalJson(unit.hardwareFamily)},
          {"partNumber", optionalJson(unit.partNumber)},
          {"serialNumber", optionalJson(unit.serialNumber)}}},
        {"record", recordBefore ? versionsJson(*recordBefore) : Json(nullptr)},
        {"seal", sealJson},
        {"checks", checksJson},
        {"components", stepsJson},
        {"result",
         {{"status", static_cast<std::uint32_t>(expectedStatus)},
          {"certain", certain},
          {"text", resultText(*this)}}},
        {"recordAfter",
         {{"state", recordAfterName(recordAfter)},
          {"versions", recordAfter == RecordAfter::rewritten ? versionsJson(recordVersionsAfter)
                                                             : Json(nullptr)},
          {"complete", recordBefore.has_value()},
          {"bytes", optionalJson(recordBytes)}}},
        {"componentBytes", componentBytes}};
    return result.dump(2) + "\n";
}

bool PackagePlan::readUnit(const std::string& unitRoot, Unit& unit, std::string& error) {
    const std::string path = unitRoot + factoryBlock1Path;
    std::string block;
    if (!TextFile::read(path, block)) {
        error = "cannot read the unit's factory data " + path;
        return false;
    }
    const CoreSystem::CRC32 crc;
    if (block.size() != factoryBlockSize ||
        crc.update(crc.startValue(CoreSystem::CRC32::packageSeed), block.data(),
                   factoryBlockSize - 4) != wordOf(block, factoryBlockSize / 4 - 1)) {
        error = "the unit's factory data " + path +
                " is damaged; the unit falls back to its boot parameters";
        return false;
    }
    const std::uint32_t variant = wordOf(block, 9);
    unit.hardwareFamily = variant >= 1 && variant <= highestVariantCode ? variant : 0;
    unit.partNumber = wordOf(block, 0) == erasedWord ? 0 : wordOf(block, 0);
    unit.serialNumber = 0;
    for (const std::size_t index : serialNumberWords) {
        if (wordOf(block, index) != erasedWord) {
            unit.serialNumber = wordOf(block, index);
            break;
        }
    }
    return true;
}

bool PackagePlan::readRecord(const std::string& path, InstalledVersions& versions,
                             std::string& error) {
    PackageReader record;
    if (!record.open(path, error, PackageReader::Expect::installedRecord)) {
        return false;
    }
    versions.clear();
    for (const Boot::ComponentEntry& entry : record.entries()) {
        versions[static_cast<std::int32_t>(entry.type)] = entry.version;
    }
    return true;
}

std::string PackagePlan::unitRecordPath(const std::string& unitRoot) {
    return unitRoot + "/fs/etfs/installed.kx1";
}

}  // namespace Packaging
