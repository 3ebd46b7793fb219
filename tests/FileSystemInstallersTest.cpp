#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ArchiveFixtures.h"
#include "CoreSystem/ArchiveManager.h"
#include "FileTreeFixtures.h"
#include "InstallFixtures.h"
#include "TestSupport.h"
#include "boot/ComponentInstallerBase.h"
#include "boot/InstallLog.h"
#include "boot/PackageSeal.h"
#include "boot/installers/AppInstaller.h"
#include "boot/installers/BeginInstaller.h"
#include "boot/installers/ConfigurationInstaller.h"
#include "boot/installers/CustomInstaller.h"
#include "boot/installers/EndInstaller.h"
#include "boot/installers/MediaInstaller.h"
#include "boot/installers/NNGMapsInstaller.h"
#include "boot/installers/OSInstaller.h"

namespace {

using Boot::ComponentEntry;
using Boot::ComponentInstallerBase;
using Boot::InstallStatus;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Ge;
using ::testing::Le;
using ::testing::Not;
using TestSupport::FileSizeLimit;
using TestSupport::Member;
using TestSupport::randomBytes;
using TestSupport::RecordingInterface;
using TestSupport::Report;
using TestSupport::tarGz;
using TestSupport::TemporaryUnitRoot;

// ---- Fixture archives, written in memory with libarchive's writer ----

// ---- Observing the unit ----

mode_t modeOf(const std::string& hostPath) {
    struct stat status {};
    EXPECT_EQ(lstat(hostPath.c_str(), &status), 0) << hostPath;
    return status.st_mode & 07777;
}

uid_t ownerOf(const std::string& hostPath) {
    struct stat status {};
    EXPECT_EQ(lstat(hostPath.c_str(), &status), 0) << hostPath;
    return status.st_uid;
}

// Reported percentages are truncated: this component starts at 20 and ends at 50.
constexpr float startPercent = 20.6F;
constexpr float sharePercent = 29.9F;
// Lies before the component's data in the package stream, so that the offset is honoured.
const std::string bytesBeforeComponent = "header, table and other components";

class FileSystemInstallersTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("AUTOLOADPATH");
        std::filesystem::create_directories(unitRoot.path() + "/fs/etfs");
        restartLog();
    }
    void TearDown() override { unsetenv("AUTOLOADPATH"); }

    // Starts an empty install log and forgets the progress reported so far.
    void restartLog() {
        log.close();
        log.open(unitRoot.prepare("/mnt/stick/install.log"));
        interface.reports.clear();
    }

    // Runs the installer on `data` placed after other package bytes; `declaredSize` is the
    // entry's size when it differs from the data's; `sealedData`, what a sealed package's check
    // read.
    InstallStatus install(ComponentInstallerBase& installer, const std::string& data,
                          std::optional<std::uint64_t> declaredSize = std::nullopt,
                          std::shared_ptr<const Boot::SealedData> sealedData = nullptr) {
        std::stringstream package(bytesBeforeComponent + data);
        ComponentEntry entry;
        entry.offset = bytesBeforeComponent.size();
        entry.size = declaredSize.value_or(data.size());
        entry.crc = TestSupport::packageCrc(data);
        entry.sealedData = std::move(sealedData);
        const float percentPerByte =
            entry.size == 0 ? 0.0F : sharePercent / static_cast<float>(entry.size);
        return installer.run(&interface, entry, package, startPercent, percentPerByte, &log);
    }

    std::vector<std::string> logLines() const { return TestSupport::installLogLines(unitRoot); }

    // The log without the per-member lines of an extraction.
    std::vector<std::string> stepLines() const {
        std::vector<std::string> lines = logLines();
        std::erase_if(lines, [](const std::string& line) { return line.starts_with("  "); });
        return lines;
    }

    std::string host(const std::string& unitPath) const { return unitRoot.path() + unitPath; }
    bool exists(const std::string& unitPath) const {
        std::error_code error;
        return std::filesystem::exists(std::filesystem::symlink_status(host(unitPath), error));
    }

    TemporaryUnitRoot unitRoot;
    Boot::InstallLog log;
    RecordingInterface interface;
};

// ---- Pre- and post-install steps ----

TEST_F(FileSystemInstallersTest, PreInstallChecksThatTheDataRootIsADirectory) {
    struct Case {
        bool rootPresent;
        InstallStatus expected;
        std::vector<Report> reports;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {true,
         InstallStatus::success,
         {{20, "Begin PreInstall"}},
         {"-- Begin PreInstall --", "PreInstall: Check /fs/etfs/ mount exists",
          "-- PreInstall Complete --"}},
        {false,
         InstallStatus::failure,
         {{20, "Begin PreInstall"},
          {20, "Error: " + host("/fs/etfs/") + " directory does not exist"}},
         {"-- Begin PreInstall --", "PreInstall: Check /fs/etfs/ mount exists",
          "Error: /fs/etfs/ mount point missing"}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.rootPresent ? "root present" : "root missing");
        if (!testCase.rootPresent) {
            std::filesystem::remove(host("/fs/etfs"));
        }
        restartLog();
        Boot::BeginInstaller installer;

        EXPECT_EQ(install(installer, ""), testCase.expected);
        EXPECT_EQ(interface.reports, testCase.reports);
        EXPECT_EQ(logLines(), testCase.lines);
    }
}

TEST_F(FileSystemInstallersTest, PostInstallOnlyReportsAndLogs) {
    Boot::EndInstaller installer;

    EXPECT_EQ(install(installer, ""), InstallStatus::success);
    EXPECT_THAT(interface.reports, ElementsAre(Report{20, "Begin PostInstall"}));
    EXPECT_THAT(logLines(), ElementsAre("-- Begin PostInstall --", "-- PostInstall Complete --"));
}

// ---- Archive installers ----

TEST_F(FileSystemInstallersTest, ApplicationReplacesTheAppFolderAndPreparesTheDataRoot) {
    unitRoot.writeFile("/fs/etfs/app/stale.txt", "old application");
    unitRoot.writeFile("/fs/etfs/script/old.sh", "old script");
    unitRoot.writeFile("/fs/etfs/temp/old.tmp", "old temporary file");
    unitRoot.writeFile("/fs/etfs/nvdata/mhrs/hours.bin", "kept");
    chown(host("/fs/etfs/nvdata/mhrs/hours.bin").c_str(), 1234, 1234);
    const std::string archive = tarGz(
        {{.path = "app/", .type = AE_IFDIR}, {.path = "app/bin/run", .contents = "#!/bin/sh\n"}});
    Boot::AppInstaller installer;

    EXPECT_EQ(install(installer, archive), InstallStatus::success);

    EXPECT_FALSE(exists("/fs/etfs/app/stale.txt"));
    EXPECT_EQ(unitRoot.readFile("/fs/etfs/app/bin/run"), "#!/bin/sh\n");
    for (const char* path : {"/fs/etfs/app", "/fs/etfs/app/bin", "/fs/etfs/app/bin/run"}) {
        EXPECT_EQ(modeOf(host(path)), 0777U) << path;
    }
    for (const char* directory : {"/fs/etfs/script", "/fs/etfs/temp"}) {
        EXPECT_TRUE(std::filesystem::is_directory(host(directory))) << directory;
        EXPECT_TRUE(std::filesystem::is_empty(host(directory))) << directory;
    }
    for (const char* directory : {"/fs/etfs/nvdata/versions", "/fs/etfs/root"}) {
        EXPECT_TRUE(std::filesystem::is_directory(host(directory))) << directory;
    }
    EXPECT_EQ(unitRoot.readFile("/fs/etfs/nvdata/mhrs/hours.bin"), "kept");
    EXPECT_EQ(ownerOf(host("/fs/etfs/nvdata/mhrs/hours.bin")), 0U);
    EXPECT_THAT(
        logLines(),
        ElementsAre("-- Begin Application Update --", "Application: Check /fs/etfs/ mount exists",
                    "Application: Remove old Application directory",
                    "Application: Begin extracting Application tar file", "  Begin Write: app/",
                    "  Completed Write: /fs/etfs/app/", "  Begin Write: app/bin/run",
                    "  Completed Write: /fs/etfs/app/bin/run",
                    "Application: Create script and temp directories",
                    "Application: Creating nvdata/mhrs, nvdata/versions and root directories",
                    "Application: Set /fs/etfs/ owner:group to root",
                    "Application: Set Application directory Permissions 777",
                    "-- Application Update Complete -- "));
}

TEST_F(FileSystemInstallersTest, ApplicationLogsFoldersItCouldNotCreateAndStillSucceeds) {
    unitRoot.writeFile("/fs/etfs/nvdata", "a file where the folder belongs");
    Boot::AppInstaller installer;

    EXPECT_EQ(install(installer, tarGz({{.path = "app/run", .contents = "x"}})),
              InstallStatus::success);

    EXPECT_EQ(unitRoot.readFile("/fs/etfs/app/run"), "x");
    EXPECT_TRUE(std::filesystem::is_directory(host("/fs/etfs/root")));
    EXPECT_THAT(
        stepLines(),
        ElementsAre("-- Begin Application Update --", "Application: Check /fs/etfs/ mount exists",
                    "Application: Remove old Application directory",
                    "Application: Begin extracting Application tar file",
                    "Application: Create script and temp directories",
                    "Application: Creating nvdata/mhrs, nvdata/versions and root directories",
                    "Application: Error: /fs/etfs/nvdata/mhrs/ could not be created",
                    "Application: Error: /fs/etfs/nvdata/versions/ could not be created",
                    "Application: Set /fs/etfs/ owner:group to root",
                    "Application: Set Application directory Permissions 777",
                    "-- Application Update Complete -- "));
}

TEST_F(FileSystemInstallersTest, ApplicationFailsWithoutTheDataRoot) {
    std::filesystem::remove(host("/fs/etfs"));
    Boot::AppInstaller installer;

    EXPECT_EQ(install(installer, tarGz({{.path = "app/run", .contents = "x"}})),
              InstallStatus::failure);

    EXPECT_FALSE(exists("/fs/etfs"));
    const std::string error = "Error: " + host("/fs/etfs/") + " directory does not exist";
    EXPECT_THAT(interface.reports,
                ElementsAre(Report{20, "Begin Application Update"}, Report{20, error}));
    EXPECT_THAT(logLines(), ElementsAre("-- Begin Application Update --",
                                        "Application: Check /fs/etfs/ mount exists",
                                        "Error: /fs/etfs/ directory does not exist"));
}

TEST_F(FileSystemInstallersTest, ApplicationPathsFollowAutoloadPath) {
    std::filesystem::create_directories(host("/data/other"));
    setenv("AUTOLOADPATH", "/data/other/", 1);
    Boot::AppInstaller installer;

    EXPECT_EQ(install(installer, tarGz({{.path = "app/run", .contents = "x"}})),
              InstallStatus::success);

    EXPECT_EQ(unitRoot.readFile("/data/other/app/run"), "x");
    for (const char* directory : {"script", "temp", "nvdata/mhrs", "nvdata/versions", "root"}) {
        EXPECT_TRUE(std::filesystem::is_directory(host("/data/other/") + directory)) << directory;
    }
    EXPECT_TRUE(std::filesystem::is_empty(host("/fs/etfs")));
    EXPECT_THAT(logLines(), Contains("Application: Set /data/other/ owner:group to root"));
}

TEST_F(FileSystemInstallersTest, TreeWalksLeaveWhatSymbolicLinksPointAtAlone) {
    unitRoot.writeFile("/outside/target.txt", "not the loader's");
    const std::string target = host("/outside/target.txt");
    chmod(target.c_str(), 0600);
    chown(target.c_str(), 1234, 1234);
    std::filesystem::create_directories(host("/fs/etfs/app"));
    std::filesystem::create_directory_symlink(host("/outside"), host("/fs/etfs/app/folderLink"));
    std::filesystem::create_symlink(target, host("/fs/etfs/app/fileLink"));
    // The archive brings links of its own for the mode, owner and sync walks to meet, leading
    // from the data root's app folder to a folder of the unit that is not the loader's.
    const std::string linkTarget = "../../../outside/target.txt";
    const std::string archive =
        tarGz({{.path = "app/run", .contents = "x"},
               {.path = "app/fileLink", .type = AE_IFLNK, .symlinkTarget = linkTarget},
               {.path = "app/folderLink", .type = AE_IFLNK, .symlinkTarget = "../../../outside"}});
    Boot::AppInstaller installer;

    EXPECT_EQ(install(installer, archive), InstallStatus::success);

    EXPECT_EQ(unitRoot.readFile("/outside/target.txt"), "not the loader's");
    EXPECT_EQ(modeOf(target), 0600U);
    EXPECT_EQ(ownerOf(target), 1234U);
    EXPECT_EQ(modeOf(host("/outside")), 0755U);
    EXPECT_EQ(std::filesystem::read_symlink(host("/fs/etfs/app/fileLink")), linkTarget);
}

TEST_F(FileSystemInstallersTest, OperatingSystemOpensUpTheTopLevelAndTheDataRoot) {
    unitRoot.writeFile("/fs/etfs/os/stale.ifs", "old");
    unitRoot.writeFile("/outside/target.txt", "not the loader's");
    chmod(host("/outside/target.txt").c_str(), 0600);
    chmod(host("/fs/etfs").c_str(), 0755);
    const std::string archive = tarGz(
        {{.path = "boot.ifs", .contents = "image"},
         {.path = "bin/", .type = AE_IFDIR},
         {.path = "bin/tool", .contents = "tool"},
         {.path = "outsideLink", .type = AE_IFLNK, .symlinkTarget = host("/outside/target.txt")}});
    Boot::OSInstaller installer;

    EXPECT_EQ(install(installer, archive), InstallStatus::success);

    EXPECT_FALSE(exists("/fs/etfs/os/stale.ifs"));
    EXPECT_EQ(unitRoot.readFile("/fs/etfs/os/bin/tool"), "tool");
    for (const char* path :
         {"/fs/etfs", "/fs/etfs/os", "/fs/etfs/os/boot.ifs", "/fs/etfs/os/bin"}) {
        EXPECT_EQ(modeOf(host(path)), 0777U) << path;
    }
    EXPECT_EQ(modeOf(host("/fs/etfs/os/bin/tool")), 0644U);
    EXPECT_EQ(modeOf(host("/outside/target.txt")), 0600U);
    EXPECT_THAT(stepLines(),
                ElementsAre("-- Begin OS Update --", "OS: Remove old OS directory",
                            "OS: Create OS directory", "OS: Extract OS tar file",
                            "OS: Set OS directory Permissions 777", "-- OS Update Complete --"));
    EXPECT_THAT(logLines(), Contains("  Completed Write: /fs/etfs/os/bin/tool"));
}

TEST_F(FileSystemInstallersTest, ConfigurationReplacesTheConfigFolderAndLogsItsPlannedSteps) {
    unitRoot.writeFile("/fs/etfs/config/stale.cfg", "old");
    Boot::ConfigurationInstaller installer;

    EXPECT_EQ(install(installer, tarGz({{.path = "config/current/unit.cfg", .contents = "new"}})),
              InstallStatus::success);

    EXPECT_FALSE(exists("/fs/etfs/config/stale.cfg"));
    EXPECT_EQ(unitRoot.readFile("/fs/etfs/config/current/unit.cfg"), "new");
    EXPECT_THAT(
        stepLines(),
        ElementsAre(
            "-- Begin Configuration Update --",
            "Configuration: TODO Executing Customer Extensions script BeforeConfiguUpdate.sh",
            "Configuration: Removing old configuration directory",
            "Configuration: Begin extracting Configuration tar file",
            "Configuration: TODO Compiling scripts",
            "Configuration: TODO Executing Customer Extensions script StartCustomer.sh",
            "Configuration: TODO Executing Customer Extensions script AfterConfiguUpdate.sh",
            "-- Configuration Update Complete --"));
}

TEST_F(FileSystemInstallersTest, MapEngineReplacesItsFolderAndOpensUpOnlyThatTree) {
    unitRoot.writeFile("/fs/etfs/map/NNGMapsEngine/stale.bin", "old");
    unitRoot.writeFile("/fs/etfs/map/other.txt", "beside the engine");
    const std::string archive =
        tarGz({{.path = "map/NNGMapsEngine/data/", .type = AE_IFDIR},
               {.path = "map/NNGMapsEngine/data/tile.bin", .contents = "t"}});
    Boot::NNGMapsInstaller installer;

    EXPECT_EQ(install(installer, archive), InstallStatus::success);

    EXPECT_FALSE(exists("/fs/etfs/map/NNGMapsEngine/stale.bin"));
    for (const char* path : {"/fs/etfs/map/NNGMapsEngine", "/fs/etfs/map/NNGMapsEngine/data",
                             "/fs/etfs/map/NNGMapsEngine/data/tile.bin"}) {
        EXPECT_EQ(modeOf(host(path)), 0777U) << path;
    }
    EXPECT_EQ(modeOf(host("/fs/etfs/map/other.txt")), 0644U);
    EXPECT_THAT(stepLines(), ElementsAre("-- Begin MapsEngine Update --",
                                         "MapsEngine: Remove old Map Engine directory",
                                         "MapsEngine: Extract Maps Engine Files",
                                         "MapsEngine: Set Map Engine directory Permissions 777",
                                         "-- MapsEngine Update Complete --"));
    EXPECT_EQ(interface.reports.front(), (Report{20, "Begin MapEngineEngine Update"}));
}

// Writes a marker beneath the unit root when run.
const std::string markerScript = "#!/bin/sh\necho ran > \"$UNIT_ROOT/marker\"\n";

TEST_F(FileSystemInstallersTest, CustomFilesRunTheirInstallScriptAndSucceedWithoutOne) {
    unitRoot.writeFile("/fs/etfs/temp/earlier.txt", "stays");
    for (const bool withScript : {true, false}) {
        SCOPED_TRACE(withScript ? "with install.sh" : "without install.sh");
        std::filesystem::remove(host("/marker"));
        std::filesystem::remove(host("/fs/etfs/temp/install.sh"));
        restartLog();
        std::vector<Member> members = {{.path = "files/data.txt", .contents = "d"}};
        if (withScript) {
            members.push_back({.path = "install.sh", .contents = markerScript});
        }
        Boot::CustomInstaller installer;

        EXPECT_EQ(install(installer, tarGz(members)), InstallStatus::success);

        EXPECT_EQ(exists("/marker"), withScript);
        EXPECT_EQ(unitRoot.readFile("/fs/etfs/temp/earlier.txt"), "stays");
        EXPECT_EQ(modeOf(host("/fs/etfs/temp/files/data.txt")), 0777U);
        EXPECT_EQ(modeOf(host("/fs/etfs/temp/earlier.txt")), 0777U);
        EXPECT_THAT(stepLines(), ElementsAre("-- Begin CustomInstaller Update --",
                                             "MapsEngine: Removing Custom directory",
                                             "CustomInstaller: Extracting Custom Files",
                                             "CustomInstall: Set Custom Directory Permissions 777",
                                             "-- Custom Install Update Complete --"));
    }
}

TEST_F(FileSystemInstallersTest, ArchiveProgressRisesWithinTheComponentsShare) {
    const std::string archive =
        tarGz({{.path = "app/big.bin",
                .contents = randomBytes(8 * CoreSystem::ArchiveManager::readBufferSize)}});
    Boot::AppInstaller installer;

    EXPECT_EQ(install(installer, archive), InstallStatus::success);

    ASSERT_GT(interface.reports.size(), 5U);
    EXPECT_EQ(interface.reports.front(), (Report{20, "Begin Application Update"}));
    int previous = 20;
    for (std::size_t index = 1; index < interface.reports.size(); ++index) {
        const Report& report = interface.reports[index];
        EXPECT_EQ(report.text, "Updating Application...");
        EXPECT_THAT(report.percent, AllOf(Ge(previous), Le(50)));
        previous = report.percent;
    }
    EXPECT_GE(previous, 49);
}

// ---- Archives that do not extract cleanly ----

struct ArchiveInstallerCase {
    const char* name;
    std::unique_ptr<ComponentInstallerBase> (*make)();
    const char* failureLine;
};

void PrintTo(const ArchiveInstallerCase& installerCase, std::ostream* out) {
    *out << installerCase.name;
}

template <typename Installer>
std::unique_ptr<ComponentInstallerBase> makeInstaller() {
    return std::make_unique<Installer>();
}

const ArchiveInstallerCase archiveInstallers[] = {
    {"Application", makeInstaller<Boot::AppInstaller>, "Application: Extraction failed"},
    {"OS", makeInstaller<Boot::OSInstaller>, "OS: Extraction failed"},
    {"Configuration", makeInstaller<Boot::ConfigurationInstaller>,
     "Configuration: Extraction failed"},
    {"MapEngine", makeInstaller<Boot::NNGMapsInstaller>, "MapsEngine: Extraction failed"},
    {"Custom", makeInstaller<Boot::CustomInstaller>, "CustomInstaller: Extraction failed"},
};

struct DamageCase {
    const char* name;
    InstallStatus expected;
};

void PrintTo(const DamageCase& damage, std::ostream* out) {
    *out << damage.name;
}

const DamageCase damageCases[] = {
    {"NotAnArchive", InstallStatus::corruptedTarFile},
    {"CutShort", InstallStatus::corruptedTarFile},
    {"MemberLeavesTheDestination", InstallStatus::corruptedTarFile},
    {"DiskStopsTakingData", InstallStatus::failure},
};

class ArchiveFailureTest
    : public FileSystemInstallersTest,
      public ::testing::WithParamInterface<std::tuple<ArchiveInstallerCase, DamageCase>> {};

TEST_P(ArchiveFailureTest, EndsTheInstallRightAfterTheExtraction) {
    const auto& [installerCase, damage] = GetParam();
    // Every archive carries an install script first, which must not run after a failure.
    const Member script = {.path = "install.sh", .contents = markerScript};
    const std::string whole = tarGz({script, {.path = "more.bin", .contents = randomBytes(16384)}});
    const std::string damageName = damage.name;
    std::unique_ptr<ComponentInstallerBase> installer = installerCase.make();

    InstallStatus status = InstallStatus::success;
    if (damageName == "NotAnArchive") {
        status = install(*installer, "this is no gzip stream at all");
    } else if (damageName == "CutShort") {
        status = install(*installer, whole.substr(0, whole.size() / 2), whole.size());
    } else if (damageName == "MemberLeavesTheDestination") {
        status =
            install(*installer, tarGz({script, {.path = "../../escape.txt", .contents = "x"}}));
    } else {
        const FileSizeLimit limit(rlim_t{3} * 1024);
        status = install(*installer, whole);
    }

    EXPECT_EQ(status, damage.expected);
    EXPECT_FALSE(exists("/marker"));
    EXPECT_FALSE(exists("/escape.txt"));
    EXPECT_FALSE(exists("/fs/escape.txt"));
    const std::vector<std::string> lines = stepLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), installerCase.failureLine);
    EXPECT_THAT(lines, Not(Contains(::testing::HasSubstr("Complete"))));
}

INSTANTIATE_TEST_SUITE_P(Installers, ArchiveFailureTest,
                         ::testing::Combine(::testing::ValuesIn(archiveInstallers),
                                            ::testing::ValuesIn(damageCases)),
                         [](const auto& parameter) {
                             return std::string(std::get<0>(parameter.param).name) + "_" +
                                    std::get<1>(parameter.param).name;
                         });

// A sealed package's archive is extracted only when it is the data its check hashed, after the
// same package bytes: a second read that returns other data under the same CRC is refused.
TEST_F(FileSystemInstallersTest, ASealedArchiveMustBeTheDataItsCheckHashed) {
    const std::string archive = tarGz({{.path = "app/run", .contents = "sealed release"}});
    const std::string other = tarGz({{.path = "app/run", .contents = "another release"}});
    const auto sealedAs = [](const std::string& data) {
        return TestSupport::sealedData(bytesBeforeComponent, data);
    };
    Boot::AppInstaller installer;

    EXPECT_EQ(install(installer, archive, std::nullopt, sealedAs(other)),
              InstallStatus::corruptedTarFile);
    EXPECT_THAT(logLines(), Contains("Error: component data changed since it was verified"));
    restartLog();
    EXPECT_EQ(install(installer, archive, std::nullopt, sealedAs(archive)), InstallStatus::success);
    EXPECT_EQ(unitRoot.readFile("/fs/etfs/app/run"), "sealed release");
}

// ---- Old trees ----

TEST_F(FileSystemInstallersTest, ApplicationUpdateRemovesAnOldTreeDeeperThanPathMax) {
    const TestSupport::TreeCleanup cleanup(host("/fs/etfs/app"));
    ASSERT_TRUE(TestSupport::makeDeepTree(host("/fs/etfs/app"), TestSupport::deepTreeLevels));
    Boot::AppInstaller installer;

    EXPECT_EQ(install(installer, tarGz({{.path = "app/run", .contents = "x"}})),
              InstallStatus::success);

    EXPECT_FALSE(exists("/fs/etfs/app/level"));
    EXPECT_FALSE(exists("/fs/etfs/app/file"));
    EXPECT_EQ(unitRoot.readFile("/fs/etfs/app/run"), "x");
    EXPECT_THAT(logLines(), Not(Contains(::testing::HasSubstr("Error"))));
}

struct UndeletableTreeCase {
    const char* name;
    std::unique_ptr<ComponentInstallerBase> (*make)();
    const char* lockedFile;  // an entry of the old tree that cannot be removed
    const char* member;      // the archive's one member
    std::vector<std::string> lines;
};

void PrintTo(const UndeletableTreeCase& treeCase, std::ostream* out) {
    *out << treeCase.name;
}

const UndeletableTreeCase undeletableTrees[] = {
    {"Application",
     makeInstaller<Boot::AppInstaller>,
     "/fs/etfs/app/lib/locked",
     "app/run",
     {"-- Begin Application Update --", "Application: Check /fs/etfs/ mount exists",
      "Application: Remove old Application directory",
      "Application: Error: old Application directory could not be removed"}},
    {"ApplicationTemp",
     makeInstaller<Boot::AppInstaller>,
     "/fs/etfs/temp/locked",
     "app/run",
     {"-- Begin Application Update --", "Application: Check /fs/etfs/ mount exists",
      "Application: Remove old Application directory",
      "Application: Begin extracting Application tar file", "  Begin Write: app/run",
      "  Completed Write: /fs/etfs/app/run", "Application: Create script and temp directories",
      "Application: Error: /fs/etfs/temp/ could not be removed"}},
    {"OS",
     makeInstaller<Boot::OSInstaller>,
     "/fs/etfs/os/locked",
     "boot.ifs",
     {"-- Begin OS Update --", "OS: Remove old OS directory",
      "OS: Error: old OS directory could not be removed"}},
    {"Configuration",
     makeInstaller<Boot::ConfigurationInstaller>,
     "/fs/etfs/config/current/locked",
     "config/unit.cfg",
     {"-- Begin Configuration Update --",
      "Configuration: TODO Executing Customer Extensions script BeforeConfiguUpdate.sh",
      "Configuration: Removing old configuration directory",
      "Configuration: Error: old configuration directory could not be removed"}},
    {"MapEngine",
     makeInstaller<Boot::NNGMapsInstaller>,
     "/fs/etfs/map/NNGMapsEngine/locked",
     "map/NNGMapsEngine/tile.bin",
     {"-- Begin MapsEngine Update --", "MapsEngine: Remove old Map Engine directory",
      "MapsEngine: Error: old Map Engine directory could not be removed"}},
};

class UndeletableTreeTest : public FileSystemInstallersTest,
                            public ::testing::WithParamInterface<UndeletableTreeCase> {};

TEST_P(UndeletableTreeTest, FailsTheComponentInsteadOfInstallingBesideIt) {
    const UndeletableTreeCase& treeCase = GetParam();
    unitRoot.writeFile(treeCase.lockedFile, "old");
    const TestSupport::ImmutableEntry locked(host(treeCase.lockedFile));
    if (!locked.applied()) {
        GTEST_SKIP() << "this file system or process cannot mark an entry immutable";
    }
    std::unique_ptr<ComponentInstallerBase> installer = treeCase.make();

    EXPECT_EQ(install(*installer, tarGz({{.path = treeCase.member, .contents = "new"}})),
              InstallStatus::failure);

    EXPECT_EQ(unitRoot.readFile(treeCase.lockedFile), "old");
    EXPECT_EQ(logLines(), treeCase.lines);
}

INSTANTIATE_TEST_SUITE_P(Installers, UndeletableTreeTest, ::testing::ValuesIn(undeletableTrees),
                         [](const auto& parameter) { return std::string(parameter.param.name); });

TEST_F(FileSystemInstallersTest, ApplicationLogsEntriesItCouldNotReownAndStillSucceeds) {
    unitRoot.writeFile("/fs/etfs/nvdata/mhrs/locked", "kept");
    chown(host("/fs/etfs/nvdata/mhrs/locked").c_str(), 1234, 1234);
    unitRoot.writeFile("/fs/etfs/nvdata/mhrs/hours.bin", "kept");
    chown(host("/fs/etfs/nvdata/mhrs/hours.bin").c_str(), 1234, 1234);
    const TestSupport::ImmutableEntry locked(host("/fs/etfs/nvdata/mhrs/locked"));
    if (!locked.applied()) {
        GTEST_SKIP() << "this file system or process cannot mark an entry immutable";
    }
    Boot::AppInstaller installer;

    EXPECT_EQ(install(installer, tarGz({{.path = "app/run", .contents = "x"}})),
              InstallStatus::success);

    EXPECT_EQ(ownerOf(host("/fs/etfs/nvdata/mhrs/locked")), 1234U);
    EXPECT_EQ(ownerOf(host("/fs/etfs/nvdata/mhrs/hours.bin")), 0U);
    EXPECT_EQ(modeOf(host("/fs/etfs/app/run")), 0777U);
    EXPECT_THAT(
        stepLines(),
        ElementsAre(
            "-- Begin Application Update --", "Application: Check /fs/etfs/ mount exists",
            "Application: Remove old Application directory",
            "Application: Begin extracting Application tar file",
            "Application: Create script and temp directories",
            "Application: Creating nvdata/mhrs, nvdata/versions and root directories",
            "Application: Set /fs/etfs/ owner:group to root",
            "Application: Error: owner:group of some entries beneath /fs/etfs/ could not be set "
            "to root",
            "Application: Set Application directory Permissions 777",
            "-- Application Update Complete -- "));
}

// ---- Media image ----

TEST_F(FileSystemInstallersTest, MediaImageIsCopiedWholeWithMode0777) {
    struct Case {
        const char* name;
        std::optional<std::string> oldImage;
        std::size_t imageSize;
    };
    const Case cases[] = {
        // More than one copy buffer, and not a multiple of it.
        {"no old image", std::nullopt, std::size_t{5} * 1024 * 1024 / 2},
        // Writing back starts more than once while the image is copied.
        {"image of several writeback windows", std::nullopt, std::size_t{17} * 1024 * 1024 + 7},
        {"larger old image replaced", std::string(std::size_t{3} * 1024 * 1024, 'o'), 1000},
        {"empty image", std::string("old"), 0},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        restartLog();
        if (testCase.oldImage) {
            unitRoot.writeFile("/fs/etfs/media.ifs", *testCase.oldImage);
            chmod(host("/fs/etfs/media.ifs").c_str(), 0600);
        }
        const std::string image = randomBytes(testCase.imageSize);
        Boot::MediaInstaller installer;

        EXPECT_EQ(install(installer, image), InstallStatus::success);

        EXPECT_EQ(unitRoot.readFile("/fs/etfs/media.ifs"), image);
        EXPECT_EQ(modeOf(host("/fs/etfs/media.ifs")), 0777U);
        EXPECT_THAT(interface.reports, ElementsAre(Report{20, "Begin Media Update"}));
        EXPECT_THAT(logLines(),
                    ElementsAre("-- Begin Media Update --", "MEDIA: Remove old media image",
                                "MEDIA: Write new media image", "-- Media Update Complete --"));
    }
}

TEST_F(FileSystemInstallersTest, MediaImageThatCannotBeWrittenInFullFails) {
    struct Case {
        const char* name;
        bool folderInTheWay;
        std::size_t imageSize;
        std::optional<std::uint64_t> declaredSize;
        std::optional<rlim_t> fileSizeLimit;
        const char* lastLine;
    };
    const char* const notWritten = "MEDIA: Error: /fs/etfs/media.ifs could not be written";
    const Case cases[] = {
        {"target is a folder", true, 1000, std::nullopt, std::nullopt, notWritten},
        // The check before the install read the whole image: a package that now ends early has
        // changed since.
        {"package ends before the image", false, std::size_t{3} * 1024 * 1024,
         std::uint64_t{4} * 1024 * 1024, std::nullopt,
         "Error: component data changed since it was verified"},
        {"disk stops taking data", false, std::size_t{256} * 1024, std::nullopt, 64 * 1024,
         notWritten},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        restartLog();
        if (testCase.folderInTheWay) {
            unitRoot.writeFile("/fs/etfs/media.ifs/inside", "x");
        }
        Boot::MediaInstaller installer;

        InstallStatus status = InstallStatus::success;
        {
            std::optional<FileSizeLimit> limit;
            if (testCase.fileSizeLimit) {
                limit.emplace(*testCase.fileSizeLimit);
            }
            status = install(installer, randomBytes(testCase.imageSize), testCase.declaredSize);
        }

        EXPECT_EQ(status, InstallStatus::failure);
        // Nothing half-written is left where an image is expected.
        EXPECT_EQ(exists("/fs/etfs/media.ifs"), testCase.folderInTheWay);
        EXPECT_THAT(logLines(),
                    ElementsAre("-- Begin Media Update --", "MEDIA: Remove old media image",
                                "MEDIA: Write new media image", testCase.lastLine));
        std::filesystem::remove_all(host("/fs/etfs/media.ifs"));
    }
}

}  // namespace
