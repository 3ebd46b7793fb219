#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CoreSystem/HardwareManager.h"
#include "CoreSystem/Utilities.h"
#include "TestSupport.h"
#include "platform/Process.h"
#include "platform/testkit/FakeClock.h"

namespace {

using CoreSystem::Utilities;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;
using TestSupport::TemporaryUnitRoot;

class UtilitiesTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("AUTOLOADPATH");
        unsetenv("DEVICEFAMILY");
        CoreSystem::Hardware::Manager::resetCachedState();
    }
    void TearDown() override { unsetenv("AUTOLOADPATH"); }

    static std::string captured(const std::function<void()>& action) {
        ::testing::internal::CaptureStdout();
        action();
        return ::testing::internal::GetCapturedStdout();
    }

    TemporaryUnitRoot root;
};

TEST_F(UtilitiesTest, PathBuildersPutTheRelativePathBeneathTheirBaseInsideTheUnitRoot) {
    struct Case {
        std::string (*builder)(std::string_view);
        const char* relative;
        const char* expected;
    };
    const Case cases[] = {
        {Utilities::autoloadPath, "update.kx1", "/fs/etfs/update.kx1"},
        {Utilities::autoloadPath, "//installed.kx1", "/fs/etfs/installed.kx1"},
        {Utilities::configurationPath, "/a", "/fs/etfs/config/a"},
        {Utilities::currentConfigurationPath, "b", "/fs/etfs/config/current/b"},
        {Utilities::applicationPath, "start.sh", "/fs/etfs/app/start.sh"},
        {Utilities::temporaryPath, "", "/fs/etfs/temp/"},
        {Utilities::scriptPath, "run", "/fs/etfs/script/run"},
        {Utilities::nonVolatileDataPath, "x", "/fs/etfs/nvdata/x"},
        {Utilities::stickPath, "///install.log", "/mnt/stick/install.log"},
        {Utilities::sdCardPath, "c", "/mnt/sd/c"},
        {Utilities::ramPath, "/emmc.dat", "/tmp/emmc.dat"},
        {Utilities::runStatePath, "pid", "/var/run/pid"},
    };
    for (const Case& entry : cases) {
        EXPECT_EQ(entry.builder(entry.relative), root.path() + entry.expected) << entry.relative;
    }
    EXPECT_EQ(Utilities::binaryDataImagePath(7),
              root.path() + "/fs/etfs/config/current/BinaryData/7.png");

    setenv("AUTOLOADPATH", "/data/", 1);
    EXPECT_EQ(Utilities::autoloadPath("/update.kx1"), root.path() + "/data/update.kx1");
    EXPECT_EQ(Utilities::scriptPath("s"), root.path() + "/data/script/s");
}

TEST_F(UtilitiesTest, MediaPathsAndNameParts) {
    EXPECT_EQ(Utilities::mediaPath(1), root.path() + "/mnt/stick/");  // not an M2 unit
    EXPECT_EQ(Utilities::mediaPath(2), root.path() + "/mnt/sd/");
    EXPECT_EQ(Utilities::mediaPath(3), root.path() + "/fs/etfs/script/");
    EXPECT_EQ(Utilities::mediaPath(4), "");

    EXPECT_EQ(Utilities::baseName("/mnt/stick/update.kx1"), "update.kx1");
    EXPECT_EQ(Utilities::baseName("/mnt/stick/"), "stick");
    EXPECT_EQ(Utilities::directoryName("/mnt/stick/update.kx1"), "/mnt/stick");
    EXPECT_EQ(Utilities::directoryName("update.kx1"), ".");
}

TEST_F(UtilitiesTest, UsbPathOnTheM2FamilyMovesToTheSecondPortWhenTheMapFileExists) {
    setenv("DEVICEFAMILY", "M2", 1);
    root.writeFile("/fs/usb0/mapid.bin", "");
    EXPECT_EQ(Utilities::usbPath("/pkg.kx1"), root.path() + "/fs/usb1/pkg.kx1");
    unsetenv("DEVICEFAMILY");
}

TEST_F(UtilitiesTest, FileTestsAndModes) {
    const std::string file = root.prepare("/fs/etfs/file");
    TestSupport::writeHostFile(file, "12345");
    EXPECT_TRUE(Utilities::exists(file));
    EXPECT_FALSE(Utilities::isDirectory(file));
    EXPECT_TRUE(Utilities::isDirectory(root.path() + "/fs/etfs"));
    EXPECT_EQ(Utilities::fileSize(file), 5);
    EXPECT_EQ(Utilities::fileSize(file + ".missing"), -1);

    struct Case {
        const char* text;
        mode_t mode;
    };
    for (const Case entry : {Case{"777", 0777}, Case{"640", 0640}, Case{"none", 0}}) {
        EXPECT_TRUE(Utilities::changeMode(file, entry.text));
        struct stat status {};
        ASSERT_EQ(stat(file.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, entry.mode) << entry.text;
    }
    EXPECT_FALSE(Utilities::changeMode(file + ".missing", "777"));

    EXPECT_EQ(captured([&] { EXPECT_TRUE(Utilities::statLogged(file)); }), "");
    EXPECT_EQ(captured([&] { EXPECT_FALSE(Utilities::statLogged(file + ".x")); }),
              "stat " + file + ".x No such file or directory\n");
}

TEST_F(UtilitiesTest, MakeDirectoriesCreatesTheMissingFoldersBeneathTheUnitRootOnly) {
    const std::string nested = root.path() + "/fs/etfs/config/current";
    EXPECT_TRUE(Utilities::makeDirectories(nested));
    EXPECT_TRUE(Utilities::isDirectory(nested));
    EXPECT_TRUE(Utilities::makeDirectories(nested + "/"));

    EXPECT_TRUE(Utilities::makeDirectories("relative/from/root"));
    EXPECT_TRUE(Utilities::isDirectory(root.path() + "/relative/from/root"));

    root.writeFile("/blocked", "a file in the way");
    EXPECT_FALSE(Utilities::makeDirectories(root.path() + "/blocked/child"));
    EXPECT_FALSE(Utilities::makeDirectories(root.path()));
    EXPECT_FALSE(Utilities::makeDirectories("/"));
    EXPECT_FALSE(Utilities::makeDirectories(root.path() + "x/outside"));
    EXPECT_FALSE(Utilities::makeDirectories(root.path() + "/fs/../../escape"));
    EXPECT_FALSE(std::filesystem::exists(root.path() + "x"));
}

TEST_F(UtilitiesTest, LinksOutOfTheUnitRootAreNotFollowedAndNamedPipesDoNotBlock) {
    const TemporaryUnitRoot unit("unit");
    const std::string outside = unit.folder() + "/outside";
    std::filesystem::create_directories(outside);
    TestSupport::writeHostFile(outside + "/file", "not the unit's");
    unit.writeFile("/fs/etfs/inside/file", "the unit's");
    const std::string data = unit.path() + "/fs/etfs/";
    std::filesystem::create_directory_symlink(outside, data + "nvdata");
    std::filesystem::create_directory_symlink(data + "inside", data + "alias");
    std::filesystem::create_symlink(outside + "/file", data + "media.ifs");
    ASSERT_EQ(mkfifo((data + "pipe").c_str(), 0600), 0);

    EXPECT_FALSE(Utilities::makeDirectories(data + "nvdata/mhrs"));
    EXPECT_TRUE(Utilities::makeDirectories(data + "alias/mhrs"));
    EXPECT_TRUE(Utilities::isDirectory(data + "inside/mhrs"));
    EXPECT_FALSE(Utilities::isInsideUnitRoot(data + "nvdata"));
    EXPECT_TRUE(Utilities::isInsideUnitRoot(data + "alias"));

    EXPECT_FALSE(Utilities::canWriteFileAt(data + "media.ifs"));
    EXPECT_FALSE(Utilities::canWriteFileAt(data + "pipe"));
    EXPECT_FALSE(Utilities::canWriteFileAt(data + "inside"));
    EXPECT_TRUE(Utilities::canWriteFileAt(data + "inside/file"));
    EXPECT_TRUE(Utilities::canWriteFileAt(data + "missing"));
    EXPECT_FALSE(Utilities::isRegularFile(data + "pipe"));

    // A link is removed itself; a named pipe is opened without waiting for a writer.
    EXPECT_TRUE(Utilities::removeFileSynced(data + "media.ifs"));
    EXPECT_FALSE(std::filesystem::is_symlink(data + "media.ifs"));
    EXPECT_FALSE(Utilities::removeFileSynced(data + "pipe")) << "removed, but a pipe has no sync";
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(data + "pipe")));

    EXPECT_EQ(TestSupport::readHostFile(outside + "/file"), "not the unit's");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside), {}), 1);
}

TEST_F(UtilitiesTest, RemoveFileSyncedRemovesAnExistingFile) {
    const std::string file = root.prepare("/fs/etfs/formatted");
    TestSupport::writeHostFile(file, "Format Completed\n");
    EXPECT_TRUE(Utilities::removeFileSynced(file));
    EXPECT_FALSE(Utilities::exists(file));
    EXPECT_FALSE(Utilities::removeFileSynced(file));
    EXPECT_FALSE(Utilities::syncFile(file));
}

TEST_F(UtilitiesTest, ListDirectoryAppendsMatchingNamesInEitherCase) {
    const std::string stick = root.prepare("/mnt/stick/x");
    root.writeFile("/mnt/stick/Update.KX1", "");
    root.writeFile("/mnt/stick/notes.txt", "");
    const std::string directory = root.path() + "/mnt/stick/";

    std::vector<std::string> names{"kept"};
    Utilities::listDirectory(directory, names, "", true);
    EXPECT_THAT(names, UnorderedElementsAre("kept", ".", "..", "Update.KX1", "notes.txt"));

    names.clear();
    Utilities::listDirectory(directory, names, ".KX1", false);
    EXPECT_THAT(names, ElementsAre("update.kx1"));

    names.clear();
    Utilities::listDirectory(directory, names, ".kx1", true);
    EXPECT_TRUE(names.empty());

    Utilities::listDirectory(directory + "missing/", names, "", true);
    EXPECT_TRUE(names.empty());
}

TEST_F(UtilitiesTest, RunShellEchoesTheCommandAndItsExitStatus) {
    int result = 0;
    EXPECT_EQ(captured([&] { result = Utilities::runShell("exit 3"); }),
              "system exit 3\nsystem shell result is 3\n");
    EXPECT_EQ(result, 768);

    const std::string folder = root.prepare("/fs/etfs/app/sub/file");
    TestSupport::writeHostFile(folder, "");
    captured([&] { Utilities::removeRecursive(root.path() + "/fs/etfs/app"); });
    EXPECT_FALSE(Utilities::exists(root.path() + "/fs/etfs/app"));
}

TEST_F(UtilitiesTest, ShellQuotedLeavesPlainPathsAloneAndMakesEveryOtherPathOneWord) {
    struct Case {
        std::string path;
        std::string expected;
    };
    const Case cases[] = {
        {"/fs/etfs/nvdata", "/fs/etfs/nvdata"},
        {"/tmp/ur-Q1/A_b.c+d,e:f=g@h%i", "/tmp/ur-Q1/A_b.c+d,e:f=g@h%i"},
        {"/tmp/u p/dev/i2c6", "'/tmp/u p/dev/i2c6'"},
        {"/tmp/it's", "'/tmp/it'\\''s'"},
        {"''", "''\\'''\\'''"},
        {"", "''"},
        {"/tmp/$HOME `id`; true *&", "'/tmp/$HOME `id`; true *&'"},
        {"/tmp/a\\b\"c~!|<>(){}[]#?", "'/tmp/a\\b\"c~!|<>(){}[]#?'"},
        {"/tmp/tab\there\nline", "'/tmp/tab\there\nline'"},
        {"/tmp/caf\xC3\xA9", "'/tmp/caf\xC3\xA9'"},
    };
    const std::string output = root.path() + "/word";
    for (const Case& row : cases) {
        const std::string quoted = Utilities::shellQuoted(row.path);
        EXPECT_EQ(quoted, row.expected) << row.path;
        // The shell reads it back as exactly one word: the path itself.
        std::string command = "printf '%s|' ";
        command.append(quoted).append(" > ").append(output);
        ASSERT_EQ(Platform::Process::system(command), 0) << command;
        EXPECT_EQ(TestSupport::readHostFile(output), row.path + "|") << quoted;
    }
}

TEST(UtilitiesBlankRootTest, RemoveRecursiveRemovesThePathWholeAndNothingBesideTheRoot) {
    const TemporaryUnitRoot root("u p");
    const std::string besideRoot = root.folder() + "/u";
    TestSupport::writeHostFile(besideRoot, "not the unit's");
    TestSupport::writeHostFile(root.prepare("/fs/etfs/app/sub/file"), "");
    ::testing::internal::CaptureStdout();
    Utilities::removeRecursive(root.path() + "/fs/etfs/app");
    ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/fs/etfs/app"));
    EXPECT_TRUE(std::filesystem::is_directory(root.path() + "/fs/etfs"));
    EXPECT_EQ(TestSupport::readHostFile(besideRoot), "not the unit's");
}

TEST_F(UtilitiesTest, BuildArgvCopiesAtMostMaxargcArguments) {
    const char* argv[11];
    const std::string printed = captured([&] {
        Utilities::buildArgv(argv, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"});
    });
    EXPECT_EQ(printed, "Too many arguments, max is now 10\n");
    EXPECT_STREQ(argv[9], "10");
    EXPECT_EQ(argv[10], nullptr);

    EXPECT_EQ(captured([&] { Utilities::buildArgv(argv, {"/tmp/VeldApp", "-b"}); }), "");
    EXPECT_STREQ(argv[1], "-b");
    EXPECT_EQ(argv[2], nullptr);
}

TEST_F(UtilitiesTest, SpawnWithPriorityLogsAndRestoresTheCallersPriority) {
    const char* const argv[] = {"true", nullptr};
    int status = -1;
    const std::string printed = captured([&] {
        status = Utilities::spawnWithPriority(Utilities::SpawnMode::wait, "/bin/true", argv, 8);
    });
    EXPECT_EQ(printed, "nice /bin/true prio 8\nspawn /bin/true pid 0\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Platform::Process::getPriority(), Platform::Process::defaultPriority);

    EXPECT_EQ(
        captured([&] { Utilities::spawnLogged(Utilities::SpawnMode::noWait, "/no/such", argv); }),
        "spawn /no/such pid -1\n");
}

TEST_F(UtilitiesTest, WaitForPathPollsTenTimesASecondOnTheClockSeam) {
    Platform::Testkit::FakeClock clock;
    const std::string path = root.prepare("/dev/late");
    clock.onAdvance([&](Platform::Clock::Duration now) {
        if (now >= std::chrono::milliseconds(1500)) {
            TestSupport::writeHostFile(path, "");
        }
    });
    EXPECT_EQ(captured([&] { EXPECT_TRUE(Utilities::waitForPath(path, 5)); }),
              "waitfor " + path + " 1 sec\n");
    EXPECT_EQ(clock.slept(), std::chrono::milliseconds(1500));

    const std::string missing = root.path() + "/dev/never";
    EXPECT_EQ(captured([&] { EXPECT_FALSE(Utilities::waitForPath(missing, 2)); }),
              "waitfor timeout " + missing + "\n");
    EXPECT_EQ(clock.slept(), std::chrono::milliseconds(3500));

    EXPECT_EQ(captured([&] { EXPECT_FALSE(Utilities::waitForPath(path, 0)); }),
              "waitfor timeout " + path + "\n");
}

TEST_F(UtilitiesTest, TimeComesFromTheClockSeam) {
    Platform::Testkit::FakeClock clock;
    clock.advance(std::chrono::milliseconds(2'750'600));
    EXPECT_EQ(Utilities::monotonicMilliseconds(), 2'750'600U);
    EXPECT_DOUBLE_EQ(Utilities::monotonicSeconds(), 2750.6);
    const timespec deadline = Utilities::deadline(1'500);
    EXPECT_EQ(deadline.tv_sec, 2752);
    EXPECT_EQ(deadline.tv_nsec, 100'000'000);
}

}  // namespace
