#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "CoreSystem/HardwareManager.h"
#include "InstallFixtures.h"
#include "TestSupport.h"
#include "boot/InstallManager.h"
#include "boot/LoaderKey.h"
#include "boot/PackageFormat.h"
#include "boot/PackageSeal.h"
#include "boot/RsaKey.h"
#include "platform/DeviceCommands.h"
#include "platform/testkit/DeviceServer.h"
#include "tools/PackagePlan.h"
#include "tools/PackageReader.h"
#include "tools/PackageWriter.h"

namespace {

using Packaging::PackagePlan;
using Versions = PackagePlan::InstalledVersions;
using Json = nlohmann::json;

struct Component {
    std::uint32_t type;
    std::uint32_t version;
    std::string data = "data";
};

struct PackageShape {
    std::vector<Component> components;
    std::uint32_t hardwareFamily = 1;
    std::uint32_t flags = 0;
    std::optional<std::string> password;
    std::optional<std::string> partNumberLock;
    // 0: none; else a byte of the file flipped after the package was signed.
    std::size_t flippedByte = 0;
};

const PackagePlan::Unit knownUnit{
    .hardwareFamily = 1, .partNumber = 2001001, .serialNumber = 7000123};

class PackagePlanTest : public ::testing::Test {
protected:
    std::string makePackage(const PackageShape& shape) {
        Packaging::PackageDescription description{.hardwareFamily = shape.hardwareFamily,
                                                  .flags = shape.flags,
                                                  .password = shape.password,
                                                  .partNumberLock = shape.partNumberLock};
        for (std::size_t index = 0; index < shape.components.size(); ++index) {
            const std::string unitPath = "/work/component" + std::to_string(index);
            root.writeFile(unitPath, shape.components[index].data);
            description.components.push_back({.type = shape.components[index].type,
                                              .version = shape.components[index].version,
                                              .path = root.path() + unitPath});
        }
        std::string path = root.prepare("/work/package.kx1");
        std::string error;
        EXPECT_TRUE(Packaging::PackageWriter::write(
            description, Packaging::RsaPublicKey::fromPemFile(LOADER_PUBLIC_KEY_FILE), path, error))
            << error;
        if (shape.flippedByte != 0) {
            std::string bytes = TestSupport::readHostFile(path);
            bytes.at(shape.flippedByte) = static_cast<char>(bytes.at(shape.flippedByte) ^ 0x01);
            TestSupport::writeHostFile(path, bytes);
        }
        return path;
    }

    PackagePlan plan(const PackageShape& shape, PackagePlan::Input input) {
        const std::string path = makePackage(shape);
        std::string error;
        EXPECT_TRUE(package.open(path, error)) << error;
        input.packagePath = "package.kx1";
        return PackagePlan::make(package, input);
    }

    TestSupport::TemporaryUnitRoot root;
    Packaging::PackageReader package;
    const Boot::RsaKey loaderKey{TestSupport::readHostFile(LOADER_KEY_FILE)};
};

// [[type, version], ...] of a JSON list of versions.
Json pairsOf(const Json& versions) {
    if (versions.is_null()) {
        return nullptr;
    }
    Json pairs = Json::array();
    for (const Json& entry : versions) {
        pairs.push_back({entry["type"], entry["version"]});
    }
    return pairs;
}

TEST_F(PackagePlanTest, PackagesAgainstRecordsAndUnitsGiveTheUnitsChecksComponentsAndRecord) {
    const Versions record{{3, 1'000'000}, {4, 2'000'000}, {5, 500}};
    struct Case {
        const char* name;
        PackageShape shape;
        PackagePlan::Input input;
        // load, hardware family, part number, serial number, signature, password, part-number
        // lock, component data.
        std::vector<std::string> outcomes;
        std::uint32_t status;
        bool certain;
        // Per component: change, wipe, reached.
        std::vector<std::string> changes;
        std::vector<bool> wipes;
        std::vector<bool> reached;
        std::string recordAfter;
        Json versionsAfter;
        std::uint64_t componentBytes;
    };
    const Case cases[] = {
        {.name = "an upgrade for a known unit",
         .shape = {.components = {{4, 2'100'000}, {3, 1'000'000}, {10, 7, "media image"}, {12, 1}}},
         .input = {.record = record, .unit = knownUnit, .loaderKey = &loaderKey},
         .outcomes = {"passes", "passes", "passes", "passes", "passes", "passes", "passes",
                      "not known"},
         .status = 1,
         .certain = false,
         .changes = {"newer", "same", "new", "new"},
         .wipes = {false, false, false, false},
         .reached = {true, true, true, true},
         .recordAfter = "rewritten",
         .versionsAfter = {{3, 1'000'000}, {4, 2'100'000}, {5, 500}, {10, 7}, {12, 1}},
         .componentBytes = 4 + 4 + 11 + 4},
        {.name = "a package for another hardware family",
         .shape = {.components = {{4, 2'100'000}}, .hardwareFamily = 2},
         .input = {.record = record, .unit = knownUnit, .loaderKey = &loaderKey},
         .outcomes = {"passes", "fails", "passes", "passes", "passes", "passes", "passes",
                      "not known"},
         .status = 402,
         .certain = true,
         .changes = {"newer"},
         .wipes = {false},
         .reached = {false},
         .recordAfter = "unchanged",
         .versionsAfter = nullptr,
         .componentBytes = 0},
        {.name = "a unit without a part number",
         .shape = {.components = {{4, 2'100'000}}},
         .input = {.record = Versions{},
                   .unit = {.hardwareFamily = 1, .partNumber = 0, .serialNumber = 7000123},
                   .loaderKey = nullptr},
         .outcomes = {"passes", "passes", "fails", "passes", "not known", "passes", "passes",
                      "not known"},
         .status = 403,
         .certain = true,
         .changes = {"new"},
         .wipes = {false},
         .reached = {false},
         .recordAfter = "unchanged",
         .versionsAfter = nullptr,
         .componentBytes = 0},
        {.name = "a unit not known, and no record",
         .shape = {.components = {{4, 1'900'000}},
                   .flags = Boot::flagPasswordProtected | Boot::flagPartNumberLocked,
                   .password = "2468",
                   .partNumberLock = "61-20-5050"},
         .input = {.record = std::nullopt, .unit = {}, .loaderKey = nullptr},
         .outcomes = {"passes", "not known", "not known", "not known", "not known",
                      "asks for a password", "not known", "not known"},
         .status = 1,
         .certain = false,
         .changes = {"not known"},
         .wipes = {false},
         .reached = {true},
         .recordAfter = "rewritten",
         .versionsAfter = {{4, 1'900'000}},
         .componentBytes = 4},
        {.name = "a lock for another part number, opened with the key",
         .shape = {.components = {{4, 1'900'000}},
                   .flags = Boot::flagPartNumberLocked,
                   .partNumberLock = "61-20-5051"},
         .input = {.record = record, .unit = knownUnit, .loaderKey = &loaderKey},
         .outcomes = {"passes", "passes", "passes", "passes", "passes", "passes", "fails",
                      "not known"},
         .status = 303,
         .certain = true,
         .changes = {"older"},
         .wipes = {false},
         .reached = {false},
         .recordAfter = "unchanged",
         .versionsAfter = nullptr,
         .componentBytes = 0},
        {.name = "a table changed after signing",
         .shape = {.components = {{4, 1'900'000}}, .flippedByte = Boot::packageHeaderSize + 4},
         .input = {.record = record, .unit = knownUnit, .loaderKey = &loaderKey},
         .outcomes = {"passes", "passes", "passes", "passes", "fails", "passes", "passes",
                      "not known"},
         .status = 301,
         .certain = true,
         .changes = {"older"},
         .wipes = {false},
         .reached = {false},
         .recordAfter = "unchanged",
         .versionsAfter = nullptr,
         .componentBytes = 0},
        {.name = "an IPL and the components after it",
         .shape = {.components = {{2, 2'910'247}, {8, 3'000'000}, {13, 1}, {4, 2'000'000}}},
         .input = {.record = record, .unit = knownUnit, .loaderKey = &loaderKey},
         .outcomes = {"passes", "passes", "passes", "passes", "passes", "passes", "passes",
                      "not known"},
         .status = 1,
         .certain = false,
         .changes = {"new", "new", "new", "same"},
         .wipes = {false, true, true, true},
         .reached = {true, true, true, true},
         .recordAfter = "rewritten",
         .versionsAfter =
             {{2, 2'910'247}, {3, 1'000'000}, {4, 2'000'000}, {5, 500}, {8, 3'000'000}},
         .componentBytes = 12},
        {.name = "an invalid type after an IPL",
         .shape = {.components = {{8, 3'000'000}, {16, 1}, {4, 2'000'000}}},
         .input = {.record = record, .unit = knownUnit, .loaderKey = nullptr},
         .outcomes = {"passes", "passes", "passes", "passes", "not known", "passes", "passes",
                      "not known"},
         .status = 307,
         .certain = false,
         .changes = {"new", "new", "same"},
         .wipes = {true, false, true},
         .reached = {true, true, false},
         .recordAfter = "removed",
         .versionsAfter = nullptr,
         .componentBytes = 4},
        {.name = "an invalid type without an IPL",
         .shape = {.components = {{0, 1}}},
         .input = {.record = record, .unit = knownUnit, .loaderKey = &loaderKey},
         .outcomes = {"passes", "passes", "passes", "passes", "passes", "passes", "passes",
                      "not known"},
         .status = 307,
         .certain = false,
         .changes = {"new"},
         .wipes = {false},
         .reached = {true},
         .recordAfter = "unchanged",
         .versionsAfter = nullptr,
         .componentBytes = 0},
    };
    for (const Case& entry : cases) {
        const PackagePlan result = plan(entry.shape, entry.input);
        const Json json = Json::parse(result.json());
        std::vector<std::string> outcomes;
        for (const Json& check : json["checks"]) {
            outcomes.push_back(check["outcome"]);
        }
        EXPECT_EQ(outcomes, entry.outcomes) << entry.name;
        EXPECT_EQ(json["result"]["status"], entry.status) << entry.name;
        EXPECT_EQ(json["result"]["certain"], entry.certain) << entry.name;
        std::vector<std::string> changes;
        std::vector<bool> wipes;
        std::vector<bool> reached;
        for (const Json& component : json["components"]) {
            changes.push_back(component["change"]);
            wipes.push_back(component["wipesDataPartition"]);
            reached.push_back(component["reached"]);
        }
        EXPECT_EQ(changes, entry.changes) << entry.name;
        EXPECT_EQ(wipes, entry.wipes) << entry.name;
        EXPECT_EQ(reached, entry.reached) << entry.name;
        EXPECT_EQ(json["recordAfter"]["state"], entry.recordAfter) << entry.name;
        EXPECT_EQ(pairsOf(json["recordAfter"]["versions"]), entry.versionsAfter) << entry.name;
        EXPECT_EQ(json["componentBytes"], entry.componentBytes) << entry.name;
        // The model behind both renderings says the same.
        EXPECT_EQ(static_cast<std::uint32_t>(result.expectedStatus), entry.status) << entry.name;
        EXPECT_EQ(result.recordBytes.has_value(),
                  entry.input.record.has_value() && entry.recordAfter == "rewritten")
            << entry.name;
    }
}

TEST_F(PackagePlanTest, TheTextShowsChecksComponentsResultAndRecord) {
    const PackagePlan result =
        plan({.components = {{8, 3'000'000}, {4, 2'100'000}, {14, 1}},
              .flags = Boot::flagPasswordProtected,
              .password = "2468"},
             {.record = Versions{{4, 2'000'000}, {5, 500}}, .unit = knownUnit});
    EXPECT_EQ(result.text(),
              "package          package.kx1 (900 bytes, hardware family 1, 3 components)\n"
              "unit             hardware family 1, part number 2001001, serial number 7000123\n"
              "record           2 versions\n"
              "seal             no seal (only a loader built with a seal key checks it)\n"
              "\n"
              "checks, in the order the unit makes them:\n"
              "  load              passes               magic 0x4e67c5d4\n"
              "  hardware family   passes               package 1, unit 1\n"
              "  part number       passes               the unit's is 2001001\n"
              "  serial number     passes               the unit's is 7000123\n"
              "  signature         not known            opening it needs the loader's private key\n"
              "  password          asks for a password  a wrong password ends the install\n"
              "  part-number lock  passes               not locked\n"
              "  component data    not known            the data's CRCs are not read (kx1 verify "
              "reads them)\n"
              "\n"
              "components, in install order:\n"
              "  index  type name          version               on the unit           change     "
              "wipes  replaces\n"
              "  0      8    ipl           3000000 (3.0.0)       none                  new        "
              "yes    the IPL in QSPI-NOR flash\n"
              "  1      4    application   2100000 (2.1.0)       2000000 (2.0.0)       newer      "
              "yes    the folder app/; empties script/ and temp/\n"
              "  2      14   no-installer  1 (0.0.1)             none                  new        "
              "yes    nothing; no installer\n"
              "  wipes: removes nvdata/, root/, script/, temp/, ProductionTest, DvTest and "
              "installed.kx1 of /fs/etfs/ first\n"
              "\n"
              "result           status 1 (installed) if the signature check passes, the password "
              "typed is right, the component data check passes and every installer succeeds\n"
              "record after     rewritten, 888 bytes:\n"
              "  4    application   2100000 (2.1.0)\n"
              "  5    configuration 500 (0.0.500)\n"
              "  8    ipl           3000000 (3.0.0)\n"
              "component data   8 bytes read by the installers\n");
}

TEST_F(PackagePlanTest, AFailedCheckIsNamedWithItsStatusInTheTextAndJson) {
    const PackagePlan result = plan({.components = {{4, 2'100'000}}, .hardwareFamily = 2},
                                    {.record = Versions{}, .unit = {.hardwareFamily = 1}});
    const std::string text = result.text();
    EXPECT_NE(text.find("  hardware family   fails, status 402    package 2, unit 1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("result           status 402 at the hardware family check; nothing on the "
                        "unit changes\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("record after     unchanged\n"), std::string::npos) << text;
    const Json json = Json::parse(result.json());
    EXPECT_EQ(json["checks"][1], Json({{"name", "hardware family"},
                                       {"outcome", "fails"},
                                       {"failureStatus", 402},
                                       {"detail", "package 2, unit 1"}}));
    EXPECT_EQ(json["unit"],
              Json({{"hardwareFamily", 1}, {"partNumber", nullptr}, {"serialNumber", nullptr}}));
    EXPECT_EQ(json["recordAfter"]["versions"], nullptr);
}

TEST_F(PackagePlanTest, ASealFoundAfterTheDataIsShownWithItsAlgorithmAndKey) {
    const std::string path = makePackage({.components = {{4, 2'100'000}}});
    const Boot::PackageSeal::Key key =
        Boot::PackageSeal::Key::generate(Boot::PackageSeal::Algorithm::ed25519);
    const std::string unsealed = TestSupport::readHostFile(path);
    TestSupport::writeHostFile(path, unsealed + TestSupport::sealBlock(unsealed, key));

    std::string error;
    ASSERT_TRUE(package.open(path, error)) << error;
    std::ifstream file(path, std::ios::binary);
    PackagePlan::Input input{.packagePath = "package.kx1"};
    Boot::PackageSeal seal;
    std::uint64_t blockOffset = 0;
    input.sealStatus =
        Boot::PackageSeal::read(file, package.entries(), package.fileSize(), seal, blockOffset);
    input.seal = seal;
    const PackagePlan result = PackagePlan::make(package, input);
    const std::string fingerprint = Boot::PackageSeal::hex(key.fingerprint());
    EXPECT_EQ(
        Json::parse(result.json())["seal"],
        Json({{"status", "valid seal"}, {"algorithm", "ed25519"}, {"fingerprint", fingerprint}}));
    EXPECT_NE(result.text().find("seal             ed25519, key " + fingerprint +
                                 " (only a loader built with a seal key checks it)\n"),
              std::string::npos)
        << result.text();
}

TEST_F(PackagePlanTest, ASimulatedUnitsNumbersComeFromItsFactoryData) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> block;
        bool readable;
        PackagePlan::Unit expected;
    };
    std::vector<std::uint8_t> damaged = TestSupport::makeBlock1({{0, 2001001}, {1, 7000123}});
    damaged[40] ^= 0x01U;
    const Case cases[] = {
        {"numbers in words 0, 1 and 9",
         TestSupport::makeBlock1({{0, 2001001}, {1, 7000123}, {9, 2}}),
         true,
         {.hardwareFamily = 2, .partNumber = 2001001, .serialNumber = 7000123}},
        {"serial number in word 5, no variant",
         TestSupport::makeBlock1({{0, 2001001}, {5, 99}}),
         true,
         {.hardwareFamily = 0, .partNumber = 2001001, .serialNumber = 99}},
        {"erased numbers and a variant out of range",
         TestSupport::makeBlock1({{9, 3}}),
         true,
         {.hardwareFamily = 0, .partNumber = 0, .serialNumber = 0}},
        {"damaged", damaged, false, {}},
        {"short", std::vector<std::uint8_t>(100, 0xFF), false, {}},
    };
    for (const Case& entry : cases) {
        root.writeFile("/var/sim/factory/block1.bin",
                       std::string(entry.block.begin(), entry.block.end()));
        PackagePlan::Unit unit;
        std::string error;
        EXPECT_EQ(PackagePlan::readUnit(root.path(), unit, error), entry.readable) << entry.name;
        EXPECT_EQ(unit.hardwareFamily, entry.expected.hardwareFamily) << entry.name;
        EXPECT_EQ(unit.partNumber, entry.expected.partNumber) << entry.name;
        EXPECT_EQ(unit.serialNumber, entry.expected.serialNumber) << entry.name;
        EXPECT_EQ(error.empty(), entry.readable) << entry.name << ": " << error;
    }
}

TEST_F(PackagePlanTest, ARecordsLaterVersionOfATypeWins) {
    std::string record(Boot::packageHeaderSize, '\0');
    record[0] = 1;
    record[660] = 3;
    for (const auto& [type, version] : {std::pair{4, 100}, std::pair{5, 200}, std::pair{4, 300}}) {
        std::string entry(Boot::componentEntrySize, '\0');
        entry[0] = static_cast<char>(type);
        entry[4] = static_cast<char>(version & 0xFF);
        entry[5] = static_cast<char>(version >> 8);
        record += entry;
    }
    record += std::string(Boot::signatureBlockSize, '\0');
    root.writeFile(PackagePlan::unitRecordPath(""), record);
    Versions versions{{9, 9}};
    std::string error;
    ASSERT_TRUE(PackagePlan::readRecord(PackagePlan::unitRecordPath(root.path()), versions, error))
        << error;
    EXPECT_EQ(versions, (Versions{{4, 300}, {5, 200}}));
    EXPECT_FALSE(PackagePlan::readRecord(root.path() + "/missing.kx1", versions, error));
}

// The loader on a unit with factory data and an IPL control driver that accepts firmware, to
// hold the plan against what an install really does.
class PackagePlanOnAUnitTest : public PackagePlanTest {
protected:
    void SetUp() override {
        setenv("DEVICEFAMILY", "M2", 1);
        unsetenv("AUTOLOADPATH");
        CoreSystem::Hardware::Manager::resetCachedState();
        root.writeFile("/mnt/stick/.keep", "");
        root.writeFile("/fs/etfs/.keep", "");
    }
    void TearDown() override {
        unsetenv("DEVICEFAMILY");
        CoreSystem::Hardware::Manager::resetCachedState();
    }

    static Boot::InstallStatus install(const std::string& path) {
        TestSupport::RecordingInterface ui;
        Boot::InstallManager manager(ui, Boot::loaderKey());
        return manager.install(path);
    }

    Platform::Testkit::DeviceServer ipl{
        root.prepare("/dev/iplctl"),
        {.devctl = [](std::uint32_t command, std::vector<std::uint8_t>& data) -> std::int32_t {
            if (command == Platform::DeviceCommands::iplReadDataBlock1) {
                data = TestSupport::makeBlock1({{0, 1234}, {1, 5678}, {8, 3}, {9, 1}});
            }
            return 0;
        }}};
};

TEST_F(PackagePlanOnAUnitTest, TheLoaderEndsAsThePlanSaysAndWritesThePlannedRecord) {
    // The unit's record before each install.
    const std::string recordPath = PackagePlan::unitRecordPath(root.path());
    ASSERT_EQ(install(makePackage({.components = {{1, 1}, {10, 2}, {12, 2}}})),
              Boot::InstallStatus::success);
    const std::string recordBefore = TestSupport::readHostFile(recordPath);
    PackagePlan::Unit unit;
    std::string error;
    root.writeFile("/var/sim/factory/block1.bin", [] {
        const std::vector<std::uint8_t> block =
            TestSupport::makeBlock1({{0, 1234}, {1, 5678}, {8, 3}, {9, 1}});
        return std::string(block.begin(), block.end());
    }());
    ASSERT_TRUE(PackagePlan::readUnit(root.path(), unit, error)) << error;

    using Boot::InstallStatus;
    using RecordAfter = PackagePlan::RecordAfter;
    struct Case {
        const char* name;
        PackageShape shape;
        InstallStatus status;
        RecordAfter recordAfter;
    };
    const Case cases[] = {
        {"an upgrade with a type that installs nothing",
         {.components = {{1, 3}, {13, 1}, {12, 4}}},
         InstallStatus::success,
         RecordAfter::rewritten},
        {"an IPL",
         {.components = {{8, 5}, {12, 6}}},
         InstallStatus::success,
         RecordAfter::rewritten},
        {"an invalid type",
         {.components = {{12, 7}, {0, 1}}},
         InstallStatus::invalidComponentType,
         RecordAfter::unchanged},
        {"an invalid type after an IPL",
         {.components = {{8, 8}, {16, 1}}},
         InstallStatus::invalidComponentType,
         RecordAfter::removed},
        {"another hardware family",
         {.components = {{12, 9}}, .hardwareFamily = 2},
         InstallStatus::hardwareFamilyMismatch,
         RecordAfter::unchanged},
    };
    for (const Case& entry : cases) {
        TestSupport::writeHostFile(recordPath, recordBefore);
        Versions record;
        ASSERT_TRUE(PackagePlan::readRecord(recordPath, record, error)) << error;
        const PackagePlan planned =
            plan(entry.shape, {.record = record, .unit = unit, .loaderKey = &loaderKey});

        EXPECT_EQ(planned.expectedStatus, entry.status) << entry.name;
        EXPECT_EQ(planned.recordAfter, entry.recordAfter) << entry.name;
        EXPECT_EQ(install(root.path() + "/work/package.kx1"), entry.status) << entry.name;
        switch (planned.recordAfter) {
            case PackagePlan::RecordAfter::rewritten: {
                Versions written;
                ASSERT_TRUE(PackagePlan::readRecord(recordPath, written, error)) << entry.name;
                EXPECT_EQ(written, planned.recordVersionsAfter) << entry.name;
                EXPECT_EQ(TestSupport::readHostFile(recordPath).size(), planned.recordBytes)
                    << entry.name;
                break;
            }
            case PackagePlan::RecordAfter::unchanged:
                EXPECT_EQ(TestSupport::readHostFile(recordPath), recordBefore) << entry.name;
                break;
            case PackagePlan::RecordAfter::removed:
                EXPECT_FALSE(std::filesystem::exists(recordPath)) << entry.name;
                break;
        }
    }
}

}  // namespace
