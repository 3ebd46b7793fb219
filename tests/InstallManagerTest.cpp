#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ArchiveFixtures.h"
#include "CoreSystem/HardwareManager.h"
#include "InstallFixtures.h"
#include "TestSupport.h"
#include "boot/InstallManager.h"
#include "boot/InstallerTable.h"
#include "boot/LoaderKey.h"
#include "platform/Process.h"
#include "sim/drivers/IplControlDriver.h"
#include "tools/PackageWriter.h"

namespace {

using Boot::InstallStatus;
using Packaging::PackageDescription;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsSupersetOf;
using ::testing::Not;

constexpr std::uint32_t unitVariant = 1;

class InstallManagerTest : public ::testing::Test {
protected:
    InstallManagerTest() = default;
    explicit InstallManagerTest(std::string_view rootName) : root(rootName) {}

    void SetUp() override {
        setenv("DEVICEFAMILY", "M2", 1);
        unsetenv("AUTOLOADPATH");
        root.writeFile("/mnt/stick/.keep", "");
        root.writeFile("/fs/etfs/.keep", "");
        setIdentity(1234, 5678);
    }
    void TearDown() override {
        unsetenv("DEVICEFAMILY");
        CoreSystem::Hardware::Manager::resetCachedState();
    }

    void setIdentity(std::uint32_t partNumber, std::uint32_t serialNumber) {
        CoreSystem::Hardware::Manager::resetCachedState();
        const std::vector<std::uint8_t> block1 =
            TestSupport::makeBlock1({{0, partNumber}, {1, serialNumber}, {8, 3}, {9, unitVariant}});
        root.writeFile("/factory/block1.bin", std::string(block1.begin(), block1.end()));
    }

    // A component file of `size` bytes (or the given bytes) beneath the unit root.
    std::string componentFile(const std::string& name, const std::string& bytes) {
        root.writeFile("/work/" + name, bytes);
        return root.path() + "/work/" + name;
    }

    std::string makePackage(const PackageDescription& description, const std::string& unitPath) {
        std::string path = root.prepare(unitPath);
        std::string error;
        EXPECT_TRUE(Packaging::PackageWriter::write(
            description, Packaging::RsaPublicKey::fromPemFile(LOADER_PUBLIC_KEY_FILE), path, error))
            << error;
        return path;
    }

    InstallStatus install(const std::string& packagePath) {
        Boot::InstallManager manager(ui, Boot::loaderKey());
        const InstallStatus status = manager.install(packagePath);
        installed = manager.package().installed();
        return status;
    }

    std::vector<std::string> logLines() const { return TestSupport::installLogLines(root); }

    TestSupport::TemporaryUnitRoot root;
    // The unit's IPL control driver: factory data from the unit's factory folder, and the IPL
    // and bootstrap images.
    Sim::IplControlDriver ipl{root.prepare("/dev/iplctl"), root.prepare("/factory/")};
    TestSupport::RecordingInterface ui;
    Boot::InstallPackage::InstalledVersions installed;
};

TEST_F(InstallManagerTest, ChecksRunInOrderAndTheFirstFailureEndsTheInstall) {
    struct Case {
        const char* name;
        std::uint32_t hardwareFamily = unitVariant;
        std::uint32_t partNumber = 1234;
        std::uint32_t serialNumber = 5678;
        std::uint32_t flags = 0;
        std::optional<std::string> password;
        std::optional<std::string> partNumberLock;
        std::string typedPassword;
        std::size_t patchedByte = 0;  // 0: none; else the file byte that is flipped after signing
        InstallStatus expected;
        const char* lastLine;
    };
    const std::size_t tableByte = 664 + 4;
    const std::size_t dataByte = 664 + 32 + 128 + 1;
    const Case cases[] = {
        {.name = "family",
         .hardwareFamily = 2,
         .patchedByte = tableByte,
         .expected = InstallStatus::hardwareFamilyMismatch,
         .lastLine = "Package has invalid Hardware Family"},
        {.name = "part number",
         .partNumber = 0xFFFFFFFF,
         .expected = InstallStatus::missingPartNumber,
         .lastLine = "No part number"},
        {.name = "serial number",
         .serialNumber = 0xFFFFFFFF,
         .expected = InstallStatus::missingSerialNumber,
         .lastLine = "No serial number"},
        {.name = "signature",
         .patchedByte = tableByte,
         .expected = InstallStatus::invalidFile,
         .lastLine = "Invalid package signature"},
        {.name = "password",
         .flags = Boot::flagPasswordProtected,
         .password = "2468",
         .typedPassword = "2469",
         .expected = InstallStatus::passwordIncorrect,
         .lastLine = "Password rejected"},
        {.name = "part-number lock",
         .flags = Boot::flagPartNumberLocked,
         .partNumberLock = "61-20-5051",
         .expected = InstallStatus::partNumberMismatch,
         .lastLine = "Part number does not match hardware"},
        {.name = "data",
         .patchedByte = dataByte,
         .expected = InstallStatus::invalidFile,
         .lastLine = "Invalid component data"},
        {.name = "all good",
         .flags = Boot::flagPasswordProtected | Boot::flagPartNumberLocked,
         .password = "2468",
         .partNumberLock = "61-20-5050",
         .typedPassword = "2468",
         .expected = InstallStatus::success,
         .lastLine = "Installation successful"},
    };
    for (const Case& entry : cases) {
        setIdentity(entry.partNumber, entry.serialNumber);
        const std::string path = makePackage(
            {.hardwareFamily = entry.hardwareFamily,
             .flags = entry.flags,
             .password = entry.password,
             .partNumberLock = entry.partNumberLock,
             .components = {{.type = 12, .version = 3, .path = componentFile("end", "post")}}},
            "/mnt/stick/package.kx1");
        if (entry.patchedByte != 0) {
            std::string bytes = TestSupport::readHostFile(path);
            bytes[entry.patchedByte] = static_cast<char>(bytes[entry.patchedByte] ^ 0x40);
            TestSupport::writeHostFile(path, bytes);
        }
        ui.password = entry.typedPassword;
        EXPECT_EQ(install(path), entry.expected) << entry.name;
        const std::vector<std::string> lines = logLines();
        ASSERT_FALSE(lines.empty()) << entry.name;
        EXPECT_EQ(lines.back(), entry.lastLine) << entry.name;
        EXPECT_EQ(lines.front(), "Loaded install package") << entry.name;
    }
    EXPECT_THAT(logLines(),
                ElementsAre("Loaded install package", "Hardware Family is compatible",
                            "Part number exists", "Serial number exists", "Valid package signature",
                            "Install package is password protected", "Password accepted",
                            "Install package is part number locked", "Part number matches hardware",
                            "Valid component data", "Install: Component Type: 12",
                            "-- Begin PostInstall --", "-- PostInstall Complete --",
                            "Install Result: Component 12 status 1", "Installation successful"));

    root.writeFile("/mnt/stick/junk.kx1", "not a package");
    EXPECT_EQ(install(root.path() + "/mnt/stick/junk.kx1"), InstallStatus::invalidFile);
    EXPECT_THAT(logLines(), ElementsAre("Failed to load install package"));
}

TEST_F(InstallManagerTest, AnUnknownTypeStopsTheInstallAfterTheComponentsBeforeIt) {
    const std::string path = makePackage(
        {.hardwareFamily = unitVariant,
         .components = {{.type = 12, .version = 3, .path = componentFile("end", "post")},
                        {.type = 0, .version = 4, .path = componentFile("zero", "0")}}},
        "/mnt/stick/package.kx1");
    EXPECT_EQ(install(path), InstallStatus::invalidComponentType);
    EXPECT_EQ(logLines().back(), "Install: Error: 307 Unrecognized Component Type: 0");
    EXPECT_THAT(logLines(), Contains("Install Result: Component 12 status 1"));
    EXPECT_EQ(installed, (Boot::InstallPackage::InstalledVersions{{12, 3}}));
}

TEST_F(InstallManagerTest, AcceptedTypesWithoutInstallerCountOnlyInTheProgressTotal) {
    const std::string path = makePackage(
        {.hardwareFamily = unitVariant,
         .components =
             {{.type = 13, .version = 1, .path = componentFile("a", std::string(200, 'a'))},
              {.type = 12, .version = 2, .path = componentFile("b", std::string(100, 'b'))},
              {.type = 14, .version = 1, .path = componentFile("c", std::string(100, 'c'))},
              {.type = 12, .version = 5, .path = componentFile("d", "")}}},
        "/mnt/stick/package.kx1");
    EXPECT_EQ(install(path), InstallStatus::success);
    for (const std::string& line : logLines()) {
        EXPECT_THAT(line, Not(::testing::HasSubstr("Component Type: 13")));
        EXPECT_THAT(line, Not(::testing::HasSubstr("Component Type: 14")));
    }
    EXPECT_EQ(installed, (Boot::InstallPackage::InstalledVersions{{12, 5}}));
    // The 100-byte component is a quarter of the 400 bytes; the skipped ones add nothing.
    EXPECT_THAT(ui.reports, IsSupersetOf({TestSupport::Report{0, "Begin PostInstall"},
                                          TestSupport::Report{25, "Begin PostInstall"}}));
    EXPECT_EQ(ui.reports.front(), (TestSupport::Report{0, "Verifying install package..."}));
}

TEST(InstallerTableTest, TheTypesThatRunAnInstallerAreThoseWithOneInTheTable) {
    // What watches an install from outside weighs its progress by runsInstaller.
    for (std::uint32_t type = Boot::ComponentType::lowest; type <= Boot::ComponentType::highest;
         ++type) {
        const Boot::InstallerTable::Row* row = Boot::InstallerTable::find(type);
        ASSERT_NE(row, nullptr) << type;
        EXPECT_EQ(row->create != nullptr, Boot::ComponentType::runsInstaller(type)) << type;
    }
}

TEST_F(InstallManagerTest, AnIplComponentWipesTheDataPartitionBeforeItAndEveryLaterComponent) {
    root.writeFile("/fs/etfs/nvdata/settings", "kept until the wipe");
    root.writeFile("/fs/etfs/ProductionTest", "");
    root.writeFile("/fs/etfs/app/start.sh", "");
    bool wipedBeforeProgramming = false;
    ipl.iplFirmware().setStatusHook([&] {
        wipedBeforeProgramming = !std::filesystem::exists(root.path() + "/fs/etfs/nvdata") &&
                                 !std::filesystem::exists(root.path() + "/fs/etfs/ProductionTest");
        root.writeFile("/fs/etfs/temp/made-during-programming", "");
    });
    const std::string path = makePackage(
        {.hardwareFamily = unitVariant,
         .components = {{.type = 12, .version = 1, .path = componentFile("end", "e")},
                        {.type = 8, .version = 2, .path = componentFile("ipl", "ipl image")},
                        {.type = 13, .version = 3, .path = componentFile("skip", "s")}}},
        "/mnt/stick/package.kx1");
    // A record from an earlier install, which the wipe removes from the disk but not from memory.
    root.writeFile("/fs/etfs/installed.kx1", TestSupport::readHostFile(path));
    EXPECT_EQ(install(path), InstallStatus::success);
    EXPECT_TRUE(wipedBeforeProgramming);
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/fs/etfs/temp"));
    EXPECT_TRUE(std::filesystem::exists(root.path() + "/fs/etfs/app/start.sh"));
    // The type-13 version comes from the old record, read before the wipe removed it.
    EXPECT_EQ(installed, (Boot::InstallPackage::InstalledVersions{{8, 2}, {12, 1}, {13, 3}}));
    Boot::InstallPackage record(Boot::InstallManager::installedPackagePath());
    EXPECT_EQ(record.installed(), installed);
}

// A unit root whose name holds a blank, with a file beside it named like the root's first word.
class InstallManagerBlankRootTest : public InstallManagerTest {
protected:
    InstallManagerBlankRootTest() : InstallManagerTest("u p") {}
};

TEST_F(InstallManagerBlankRootTest, TheWipeRemovesTheDataPartitionsStateAndNothingBesideTheRoot) {
    const std::string besideRoot = root.folder() + "/u";
    TestSupport::writeHostFile(besideRoot, "not the unit's");
    root.writeFile("/fs/etfs/nvdata/settings", "");
    root.writeFile("/fs/etfs/script/run.sh", "");
    root.writeFile("/fs/etfs/app/start.sh", "");
    const std::string path = makePackage(
        {.hardwareFamily = unitVariant,
         .components = {{.type = 8, .version = 2, .path = componentFile("ipl", "ipl image")}}},
        "/mnt/stick/package.kx1");
    EXPECT_EQ(install(path), InstallStatus::success);
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/fs/etfs/nvdata"));
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/fs/etfs/script"));
    EXPECT_TRUE(std::filesystem::exists(root.path() + "/fs/etfs/app/start.sh"));
    EXPECT_EQ(TestSupport::readHostFile(besideRoot), "not the unit's");
}

TEST_F(InstallManagerTest, OnlyTheDataRootsUpdatePackageIsDeletedAfterItsInstall) {
    const PackageDescription description{
        .hardwareFamily = unitVariant,
        .components = {{.type = 12, .version = 1, .path = componentFile("end", "e")}}};
    const std::string onStick = makePackage(description, "/mnt/stick/update.kx1");
    const std::string inDataRoot = makePackage(description, "/fs/etfs/update.kx1");
    EXPECT_EQ(install(onStick), InstallStatus::success);
    EXPECT_TRUE(std::filesystem::exists(onStick));
    EXPECT_EQ(install(inDataRoot), InstallStatus::success);
    EXPECT_FALSE(std::filesystem::exists(inDataRoot));
}

TEST_F(InstallManagerTest, ARecordThatCannotBeWrittenFailsTheInstallAndKeepsTheUpdatePackage) {
    // A folder with an entry in it stands where the new record is written.
    root.writeFile("/fs/etfs/installed.kx1.new/entry", "");
    const std::string path =
        makePackage({.hardwareFamily = unitVariant,
                     .components = {{.type = 12, .version = 1, .path = componentFile("end", "e")}}},
                    "/fs/etfs/update.kx1");

    EXPECT_EQ(install(path), InstallStatus::failure);
    EXPECT_TRUE(std::filesystem::exists(path)) << "left in place, as after every failure";
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/fs/etfs/installed.kx1"));
    const std::vector<std::string> lines = logLines();
    ASSERT_GE(lines.size(), 2U);
    EXPECT_EQ(lines[lines.size() - 2], "Installation successful");
    EXPECT_EQ(lines.back(), "Failed to write installed record");
}

TEST_F(InstallManagerTest, ABluetoothComponentFailsWhenTheModuleHasNoSerialPort) {
    const std::string path =
        makePackage({.hardwareFamily = unitVariant,
                     .components = {{.type = 6, .version = 1, .path = componentFile("bt", "dfu")}}},
                    "/mnt/stick/package.kx1");
    EXPECT_EQ(install(path), InstallStatus::failure);
    const std::vector<std::string> lines = logLines();
    ASSERT_GE(lines.size(), 2U);
    EXPECT_EQ(lines[lines.size() - 2], "Error opening Bluetooth device.  Aborting.");
    EXPECT_EQ(lines.back(), "Install Result: Component 6 status 0");
}

TEST_F(InstallManagerTest, ApplicationArchivesInstallAndTraversalInsideASignedPackageIsRefused) {
    const std::string good = makePackage(
        {.hardwareFamily = unitVariant,
         .components = {{.type = 4,
                         .version = 1000002,
                         .path = componentFile(
                             "app.tar.gz", TestSupport::tarGz({{.path = "app/start.sh",
                                                                .contents = "#!/bin/sh\n"}}))}}},
        "/mnt/stick/good.kx1");
    EXPECT_EQ(install(good), InstallStatus::success);
    EXPECT_EQ(root.readFile("/fs/etfs/app/start.sh"), "#!/bin/sh\n");

    const std::string evil = makePackage(
        {.hardwareFamily = unitVariant,
         .components = {{.type = 4,
                         .version = 1000003,
                         .path = componentFile(
                             "evil.tar.gz",
                             TestSupport::tarGz(
                                 {{.path = "app/ok", .contents = "fine"},
                                  {.path = "../../escaped", .contents = "outside"}}))}}},
        "/mnt/stick/evil.kx1");
    EXPECT_EQ(install(evil), InstallStatus::corruptedTarFile);
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/escaped"));
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/fs/escaped"));
}

TEST_F(InstallManagerTest, AnInstallLogPlacedAsALinkOrNamedPipeOnTheStickGetsNoLines) {
    const PackageDescription description{
        .hardwareFamily = unitVariant,
        .components = {{.type = 12, .version = 1, .path = componentFile("end", "e")}}};
    const std::string packagePath = makePackage(description, "/mnt/stick/end.kx1");
    const std::string log = root.path() + "/mnt/stick/install.log";
    root.writeFile("/outside/startup.sh", "#!/bin/sh\n");
    const struct {
        const char* name;
        std::function<void()> place;
    } cases[] = {
        {"link",
         [&] { std::filesystem::create_symlink(root.path() + "/outside/startup.sh", log); }},
        {"named pipe", [&] { ASSERT_EQ(mkfifo(log.c_str(), 0600), 0); }},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::filesystem::remove(log);
        testCase.place();
        EXPECT_EQ(install(packagePath), InstallStatus::success);
        EXPECT_EQ(root.readFile("/outside/startup.sh"), "#!/bin/sh\n");
        EXPECT_FALSE(std::filesystem::is_regular_file(std::filesystem::symlink_status(log)));
    }
}

// Rewrites the package file the moment the first installer starts: after the check of every
// component's data, before any of it is read again to be installed.
class RewritingInterface final : public Boot::InstallUserInterface {
public:
    RewritingInterface(std::string packagePath, std::string verified, std::string replacement)
        : packagePath_(std::move(packagePath)),
          verified_(std::move(verified)),
          replacement_(std::move(replacement)) {}

    void reportProgress(int /*percent*/, const std::string& text) override {
        if (!rewritten && text.starts_with("Begin")) {
            std::string bytes = TestSupport::readHostFile(packagePath_);
            const std::size_t at = bytes.find(verified_);
            ASSERT_NE(at, std::string::npos);
            bytes.replace(at, replacement_.size(), replacement_);
            // In place, as a stick returning other data would: the loader's open file sees it.
            std::fstream file(packagePath_, std::ios::in | std::ios::out | std::ios::binary);
            file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            rewritten = true;
        }
    }
    std::string requestPassword() override { return {}; }

    bool rewritten = false;

private:
    std::string packagePath_;
    std::string verified_;
    std::string replacement_;
};

TEST_F(InstallManagerTest, DataChangedAfterItsCheckIsNeverInstalledAsVerified) {
    const std::string changedLine = "Error: component data changed since it was verified";
    // Each replacement is as long as what was verified and would install cleanly on its own.
    const struct {
        const char* name;
        std::uint32_t type;
        std::string verified;
        std::string replacement;
        InstallStatus expected;
        std::function<void()> check;
    } cases[] = {
        {"application archive", 4,
         TestSupport::tarBytes({{.path = "app/marker", .contents = "verified"}}),
         TestSupport::tarBytes({{.path = "app/marker", .contents = "tampered"}}),
         // Members are written as they stream: the component fails once its CRC is known.
         InstallStatus::corruptedTarFile, [] {}},
        {"media image", 10, std::string(100000, 'v'), std::string(70000, 't'),
         InstallStatus::failure,
         [this] { EXPECT_FALSE(std::filesystem::exists(root.path() + "/fs/etfs/media.ifs")); }},
        {"bootstrap firmware", 2, std::string(3000, 'v'), std::string(3000, 't'),
         InstallStatus::failure,
         [this] { EXPECT_TRUE(ipl.bootstrapFirmware().received().empty()); }},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const std::string path =
            makePackage({.hardwareFamily = unitVariant,
                         .components = {{.type = testCase.type,
                                         .version = 2910300,
                                         .path = componentFile("component", testCase.verified)}}},
                        "/mnt/stick/changing.kx1");
        RewritingInterface rewriting(path, testCase.verified, testCase.replacement);
        Boot::InstallManager manager(rewriting, Boot::loaderKey());

        EXPECT_EQ(manager.install(path), testCase.expected);

        EXPECT_TRUE(rewriting.rewritten);
        EXPECT_THAT(logLines(), Contains(changedLine));
        EXPECT_THAT(logLines(), Not(Contains("Installation successful")));
        EXPECT_FALSE(std::filesystem::exists(root.path() + "/fs/etfs/installed.kx1"));
        testCase.check();
    }
}

TEST_F(InstallManagerTest, APackageMadeByTheReleaseToolInstalls) {
    root.writeFile("/release/app.tar.gz",
                   TestSupport::tarGz({{.path = "app/bin/VeldApp", .contents = "program"}}));
    root.writeFile("/release/manifest.txt",
                   "hardware-family 1\n"
                   "password 0815\n"
                   "component application 2.9.10247 app.tar.gz\n");
    const std::string release = root.path() + "/release/";
    const std::string command = std::string(KX1_PATH) + " pack " + release + "manifest.txt " +
                                root.path() + "/mnt/stick/release.kx1 --key " +
                                LOADER_PUBLIC_KEY_FILE + " > /dev/null";
    ASSERT_EQ(Platform::Process::system(command), 0);
    ui.password = "0815";
    EXPECT_EQ(install(root.path() + "/mnt/stick/release.kx1"), InstallStatus::success);
    EXPECT_EQ(root.readFile("/fs/etfs/app/bin/VeldApp"), "program");
    EXPECT_EQ(installed, (Boot::InstallPackage::InstalledVersions{{4, 2910247}}));
}

}  // namespace
