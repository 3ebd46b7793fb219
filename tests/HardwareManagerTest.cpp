#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "CoreSystem/CRC32.h"
#include "CoreSystem/HardwareManager.h"
#include "TestSupport.h"
#include "platform/DeviceCommands.h"
#include "platform/testkit/DeviceServer.h"
#include "platform/testkit/FakeClock.h"

namespace {

using CoreSystem::Hardware::DataBlockEnum;
using CoreSystem::Hardware::Manager;
using Platform::Testkit::DeviceServer;
using TestSupport::TemporaryUnitRoot;
using Bytes = std::vector<std::uint8_t>;
using Words = std::map<std::size_t, std::uint32_t>;

constexpr std::uint32_t empty = 0xFFFFFFFF;
constexpr std::uint64_t bootParameterAddress = 0xE63C0000;
constexpr std::uint64_t m2ResetRegister = 0xE6050008;
constexpr std::uint64_t imx35ResetRegister = 0x53FDC000;
constexpr std::array<DataBlockEnum, 3> allKinds{DataBlockEnum::block1, DataBlockEnum::block2,
                                                DataBlockEnum::block3};

using TestSupport::makeWords;

Bytes makeBlock1(const Words& words, bool crcMatches = true) {
    return makeWords(256, words, 252, 252, crcMatches);
}

struct BootParameters {
    Words words;
    std::uint32_t count = 19;
    bool crcMatches = true;

    Bytes bytes() const {
        Words all{{0, 0x1234AA55}, {1, count}};
        for (const auto& [index, value] : words) {
            all[index] = value;
        }
        return makeWords(80, all, std::min<std::size_t>(count, 19) * 4, 76, crcMatches);
    }
};

// A stand-in IPL control driver: answers the three read commands with the blocks it was given
// (EINVAL for others), or EIO while failures are pending.
class IplDriver {
public:
    explicit IplDriver(const TemporaryUnitRoot& root)
        : server_(root.prepare("/dev/iplctl"),
                  {.devctl = [this](std::uint32_t command, Bytes& data) {
                      return answer(command, data);
                  }}) {}

    void setBlock(DataBlockEnum kind, Bytes block) {
        const std::lock_guard lock(mutex_);
        blocks_[Platform::DeviceCommands::iplReadDataBlock(static_cast<int>(kind))] =
            std::move(block);
    }
    void failNext(int count) {
        const std::lock_guard lock(mutex_);
        failuresLeft_ = count;
    }
    int requests() {
        const std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    std::int32_t answer(std::uint32_t command, Bytes& data) {
        const std::lock_guard lock(mutex_);
        ++requests_;
        if (failuresLeft_ > 0) {
            --failuresLeft_;
            return EIO;
        }
        const auto found = blocks_.find(command);
        if (found == blocks_.end() || found->second.size() != data.size()) {
            return EINVAL;
        }
        data = found->second;
        return 0;
    }

    std::mutex mutex_;
    std::map<std::uint32_t, Bytes> blocks_;
    int failuresLeft_ = 0;
    int requests_ = 0;
    DeviceServer server_;  // last, so that it stops before the state it serves goes away
};

// A stand-in I2C driver that records every device-control request and answers with `result`.
class I2cDriver {
public:
    I2cDriver(const TemporaryUnitRoot& root, std::int32_t result)
        : result_(result),
          server_(root.prepare("/dev/i2c6"), {.devctl = [this](std::uint32_t command, Bytes& data) {
                      const std::lock_guard lock(mutex_);
                      requests_.emplace_back(command, data);
                      return result_;
                  }}) {}

    std::vector<std::pair<std::uint32_t, Bytes>> requests() {
        const std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    std::int32_t result_;
    std::mutex mutex_;
    std::vector<std::pair<std::uint32_t, Bytes>> requests_;
    DeviceServer server_;
};

class HardwareManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("DEVICEFAMILY");
        Manager::resetCachedState();
    }
    void TearDown() override {
        Manager::resetCachedState();
        unsetenv("DEVICEFAMILY");
    }

    // Sets DEVICEFAMILY (null unsets it) and lets the manager read it afresh.
    static void useFamily(const char* name) {
        if (name != nullptr) {
            setenv("DEVICEFAMILY", name, 1);
        } else {
            unsetenv("DEVICEFAMILY");
        }
        Manager::resetCachedState();
    }

    // UNIT_ROOT/dev/mem as a sparse file covering every physical address the manager maps.
    void makeMemory() const {
        const std::string path = root.prepare("/dev/mem");
        TestSupport::writeHostFile(path, "");
        ASSERT_EQ(truncate(path.c_str(), 0xE6400000), 0);
    }
    void writeMemory(std::uint64_t address, const Bytes& bytes) const {
        const int handle = open((root.path() + "/dev/mem").c_str(), O_WRONLY);
        ASSERT_GE(handle, 0);
        EXPECT_EQ(pwrite(handle, bytes.data(), bytes.size(), static_cast<off_t>(address)),
                  static_cast<ssize_t>(bytes.size()));
        close(handle);
    }
    Bytes readMemory(std::uint64_t address, std::size_t count) const {
        Bytes bytes(count);
        const int handle = open((root.path() + "/dev/mem").c_str(), O_RDONLY);
        EXPECT_EQ(pread(handle, bytes.data(), count, static_cast<off_t>(address)),
                  static_cast<ssize_t>(count));
        close(handle);
        return bytes;
    }

    std::string systemLog() const { return root.readFile("/var/log/slog"); }
    void clearSystemLog() const { std::filesystem::remove(root.path() + "/var/log/slog"); }

    TemporaryUnitRoot root;
    Platform::Testkit::FakeClock clock;
};

TEST_F(HardwareManagerTest, TakesTheDeviceFamilyFromTheEnvironmentOnce) {
    const struct {
        const char* name;
        int family;
    } cases[] = {{nullptr, 0}, {"", 0}, {"M2", 2}, {"iMX35", 1}, {"m2", 0}, {"M2 ", 0}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name != nullptr ? testCase.name : "(unset)");
        useFamily(testCase.name);
        EXPECT_EQ(Manager::deviceFamily(), testCase.family);
        EXPECT_EQ(Manager::isM2(), testCase.family == 2);
        setenv("DEVICEFAMILY", "iMX35", 1);
        EXPECT_EQ(Manager::deviceFamily(), testCase.family);
    }
}

TEST_F(HardwareManagerTest, BoardsOtherThanM2ReadNoBoardDataAndOnlyTheIMX35ResetsItsRegister) {
    IplDriver ipl(root);
    ipl.setBlock(DataBlockEnum::block1, makeBlock1({{0, 1000}, {1, 2000}, {8, 3}, {9, 1}}));
    ipl.setBlock(DataBlockEnum::block2, makeWords(256, {{0, 8}}, 8, 8, true));
    ipl.setBlock(DataBlockEnum::block3, Bytes(256, 3));
    I2cDriver i2c(root, 0);
    makeMemory();
    writeMemory(bootParameterAddress, BootParameters{.words = {{12, 3}, {4, 1000}}}.bytes());

    const struct {
        const char* family;
        std::string log;
        Bytes imx35Register;
    } cases[] = {
        {nullptr, "", {0xFF, 0xFF, 0xFF, 0xFF}},
        {"Other", "", {0xFF, 0xFF, 0xFF, 0xFF}},
        {"iMX35", "12345 6 HardwareManager: Shutdown iMX35\n", {0x00, 0x00, 0xFF, 0xFF}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.family != nullptr ? testCase.family : "(unset)");
        useFamily(testCase.family);
        clearSystemLog();
        writeMemory(m2ResetRegister, {0xFF, 0xFF, 0xFF, 0xFF});
        writeMemory(imx35ResetRegister, {0xFF, 0xFF, 0xFF, 0xFF});

        for (const DataBlockEnum kind : allKinds) {
            EXPECT_TRUE(Manager::readDataBlock(kind).empty());
        }
        EXPECT_FALSE(Manager::isDataBlockValid(DataBlockEnum::block3, Bytes(256, 3)));
        EXPECT_EQ(Manager::bootParameters(), nullptr);
        EXPECT_EQ(Manager::displayType(), 0U);
        EXPECT_EQ(Manager::variantCode(), 0U);
        EXPECT_EQ(Manager::partNumber(), 0U);
        EXPECT_EQ(Manager::serialNumber(), 0U);
        EXPECT_LT(Manager::iplControlHandle(), 0);

        Manager::shutdown();
        EXPECT_EQ(systemLog(), testCase.log);
        EXPECT_EQ(readMemory(imx35ResetRegister, 4), testCase.imx35Register);
        EXPECT_EQ(readMemory(m2ResetRegister, 4), Bytes(4, 0xFF));
    }
    EXPECT_EQ(ipl.requests(), 0);
    EXPECT_TRUE(i2c.requests().empty());
}

std::size_t openDescriptorCount() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                      std::filesystem::directory_iterator{}));
}

TEST_F(HardwareManagerTest, ReadsEachBlockWithItsCommandThroughOneKeptHandle) {
    useFamily("M2");
    IplDriver ipl(root);
    for (const DataBlockEnum kind : allKinds) {
        ipl.setBlock(kind, Bytes(256, static_cast<std::uint8_t>(kind)));
    }
    const int handle = Manager::iplControlHandle();
    ASSERT_GE(handle, 0);
    // Counted once the driver has served the connection, so that its own end is included.
    EXPECT_EQ(Manager::readDataBlock(DataBlockEnum::block1), Bytes(256, 1));
    const std::size_t descriptors = openDescriptorCount();

    for (const DataBlockEnum kind : allKinds) {
        EXPECT_EQ(Manager::readDataBlock(kind), Bytes(256, static_cast<std::uint8_t>(kind)));
        EXPECT_EQ(Manager::iplControlHandle(), handle);
    }
    EXPECT_TRUE(Manager::readDataBlock(static_cast<DataBlockEnum>(4)).empty());
    EXPECT_EQ(ipl.requests(), 3);
    EXPECT_EQ(openDescriptorCount(), descriptors);
}

TEST_F(HardwareManagerTest, CachesABlockOnlyOnceTheDriverHasSuppliedIt) {
    useFamily("M2");
    // No driver yet: no handle is kept, so a later call opens it.
    EXPECT_TRUE(Manager::readDataBlock(DataBlockEnum::block1).empty());
    EXPECT_LT(Manager::iplControlHandle(), 0);

    IplDriver ipl(root);
    const Bytes first = makeBlock1({{8, 4}});
    ipl.setBlock(DataBlockEnum::block1, first);
    ipl.failNext(1);
    EXPECT_TRUE(Manager::readDataBlock(DataBlockEnum::block1).empty());
    EXPECT_EQ(Manager::readDataBlock(DataBlockEnum::block1), first);
    EXPECT_EQ(ipl.requests(), 2);

    ipl.setBlock(DataBlockEnum::block1, makeBlock1({{8, 5}}));
    EXPECT_EQ(Manager::readDataBlock(DataBlockEnum::block1), first);
    EXPECT_EQ(Manager::displayType(), 4U);
    EXPECT_EQ(ipl.requests(), 2);
}

TEST_F(HardwareManagerTest, TakesIdentityFromBlock1OrFallsBackToTheBootParameters) {
    const Words fallbackWords{{4, empty},  {6, 0x4444},      {5, empty}, {7, empty},
                              {9, 0x5555}, {12, 0xFFFF03FF}, {13, empty}};
    const Words lowestBytes{{4, 0x4000}, {5, 0x5000}, {12, 0xFF0CFFFF}, {13, 0xFFFFFF01}};
    const struct {
        const char* name;
        std::optional<Bytes> block1;                   // none: the driver refuses block 1
        std::optional<BootParameters> bootParameters;  // none: no memory file
        std::uint32_t display, variant, part, serial;
    } cases[] = {
        {"valid block 1, serial from word 3",
         makeBlock1({{0, 0x1000}, {1, empty}, {3, 0x2222}, {5, 0x3333}, {8, 5}, {9, 2}}),
         BootParameters{.words = lowestBytes}, 5, 2, 0x1000, 0x2222},
        {"serial from word 1", makeBlock1({{0, 7}, {1, 0x1111}, {3, 0x2222}, {8, 12}, {9, 1}}),
         std::nullopt, 12, 1, 7, 0x1111},
        {"codes out of range", makeBlock1({{5, 0x3333}, {8, 13}, {9, 3}}), std::nullopt, 0, 0, 0,
         0x3333},
        {"zero codes, every number empty", makeBlock1({{8, 0}, {9, 0}}), std::nullopt, 0, 0, 0, 0},
        {"bad block 1 checksum", makeBlock1({{0, 1}, {1, 2}, {8, 5}, {9, 2}}, false),
         BootParameters{.words = fallbackWords}, 3, 0, 0x4444, 0x5555},
        {"no block 1, area of 14 covered words", std::nullopt,
         BootParameters{.words = lowestBytes, .count = 14}, 12, 1, 0x4000, 0x5000},
        {"area checksum wrong", std::nullopt,
         BootParameters{.words = lowestBytes, .crcMatches = false}, 0, 0, 0, 0},
        {"area magic wrong", std::nullopt, BootParameters{.words = {{0, 0x1234AA56}, {12, 3}}}, 0,
         0, 0, 0},
        {"area word count 20", std::nullopt, BootParameters{.words = lowestBytes, .count = 20}, 0,
         0, 0, 0},
        {"no memory file", makeBlock1({{8, 5}}, false), std::nullopt, 0, 0, 0, 0},
    };
    IplDriver ipl(root);
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ipl.setBlock(DataBlockEnum::block1, testCase.block1.value_or(Bytes{}));
        std::filesystem::remove(root.path() + "/dev/mem");
        if (testCase.bootParameters) {
            makeMemory();
            writeMemory(bootParameterAddress, testCase.bootParameters->bytes());
        }
        useFamily("M2");
        EXPECT_EQ(Manager::displayType(), testCase.display);
        EXPECT_EQ(Manager::variantCode(), testCase.variant);
        EXPECT_EQ(Manager::partNumber(), testCase.part);
        EXPECT_EQ(Manager::serialNumber(), testCase.serial);
    }
}

TEST_F(HardwareManagerTest, KeepsLookingForTheBootParametersUntilAValidAreaAppears) {
    useFamily("M2");
    EXPECT_EQ(Manager::bootParameters(), nullptr);
    makeMemory();
    EXPECT_EQ(Manager::bootParameters(), nullptr);
    const Bytes area = BootParameters{.words = {{12, 3}}}.bytes();
    writeMemory(bootParameterAddress, area);
    const std::uint8_t* found = Manager::bootParameters();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(Bytes(found, found + 80), area);
    EXPECT_EQ(Manager::bootParameters(), found);
}

TEST_F(HardwareManagerTest, ChecksBlockIntegrityByKind) {
    useFamily("M2");
    const struct {
        const char* name;
        DataBlockEnum kind;
        bool valid;
        Bytes bytes;
    } cases[] = {
        {"block 2 of 8 bytes", DataBlockEnum::block2, true, makeWords(256, {{0, 8}}, 8, 8, true)},
        {"block 2 of 248 bytes", DataBlockEnum::block2, true,
         makeWords(256, {{0, 248}}, 248, 248, true)},
        {"block 2 count above 248", DataBlockEnum::block2, false,
         makeWords(256, {{0, 249}}, 249, 249, true)},
        {"block 2 checksum wrong", DataBlockEnum::block2, false,
         makeWords(256, {{0, 8}}, 8, 8, false)},
        {"block 2 short", DataBlockEnum::block2, false, makeWords(255, {{0, 8}}, 8, 8, true)},
        {"block 1 valid", DataBlockEnum::block1, true, makeBlock1({})},
        {"block 1 checksum wrong", DataBlockEnum::block1, false, makeBlock1({}, false)},
        {"block 1 long", DataBlockEnum::block1, false, makeWords(260, {}, 252, 252, true)},
        {"block 3 any bytes", DataBlockEnum::block3, true, Bytes(256, 0x42)},
        {"block 3 short", DataBlockEnum::block3, false, Bytes(10, 0x42)},
        {"unknown kind", static_cast<DataBlockEnum>(4), false, Bytes{}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(Manager::isDataBlockValid(testCase.kind, testCase.bytes), testCase.valid);
    }
}

TEST_F(HardwareManagerTest, ConcurrentCallersShareOneRequestPerBlock) {
    useFamily("M2");
    IplDriver ipl(root);
    ipl.setBlock(DataBlockEnum::block1, makeBlock1({{0, 10}, {1, 11}, {8, 6}, {9, 2}}));
    ipl.setBlock(DataBlockEnum::block2, makeWords(256, {{0, 8}}, 8, 8, true));
    std::vector<std::thread> callers;
    callers.reserve(4);
    for (int index = 0; index < 4; ++index) {
        callers.emplace_back([] {
            EXPECT_EQ(Manager::displayType(), 6U);
            EXPECT_EQ(Manager::serialNumber(), 11U);
            EXPECT_TRUE(Manager::isDataBlockValid(DataBlockEnum::block2,
                                                  Manager::readDataBlock(DataBlockEnum::block2)));
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(ipl.requests(), 2);
}

// Runs the check in a child that has given up root, so that permission bits apply (the tests
// run as root). The result, or none when the child could not run it.
std::optional<bool> checkDataPartitionUnprivileged() {
    const pid_t child = fork();
    if (child == 0) {
        constexpr uid_t nobody = 65534;
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
             setresuid(nobody, nobody, nobody) != 0)) {
            _exit(2);
        }
        _exit(Manager::checkDataPartition() ? 1 : 0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) > 1) {
        return std::nullopt;
    }
    return WEXITSTATUS(status) == 1;
}

TEST_F(HardwareManagerTest, AcceptsTheDataPartitionWhenWritableOrWhenASystemIsInstalled) {
    const struct {
        const char* name;
        std::filesystem::perms mode;
        bool installed;
        bool usable;
    } cases[] = {
        {"writable, empty", std::filesystem::perms(0777), false, true},
        {"read-only, empty", std::filesystem::perms(0555), false, false},
        {"read-only, installed", std::filesystem::perms(0555), true, true},
        {"writable, installed", std::filesystem::perms(0777), true, true},
    };
    std::filesystem::permissions(root.path(), std::filesystem::perms(0755));
    const std::string partition = root.path() + "/fs/etfs";
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::filesystem::remove_all(partition);
        std::filesystem::create_directories(partition);
        if (testCase.installed) {
            root.writeFile("/fs/etfs/app/start.sh", "#!/bin/sh\n");
            root.writeFile("/fs/etfs/formatted", "left by an earlier format\n");
        }
        std::filesystem::permissions(partition, testCase.mode);

        EXPECT_EQ(checkDataPartitionUnprivileged(), testCase.usable);
        // An installed system is accepted without writing: the old marker is left alone.
        EXPECT_EQ(std::filesystem::exists(partition + "/formatted"), testCase.installed);
    }
}

TEST_F(HardwareManagerTest, GivesUpOnAMissingDataPartitionAfterThreeSeconds) {
    EXPECT_FALSE(Manager::checkDataPartition());
    EXPECT_EQ(clock.slept(), std::chrono::milliseconds(3000));
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/fs"));
}

std::set<std::string> folderEntries(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

ino_t inodeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0);
    return status.st_ino;
}

TEST_F(HardwareManagerTest, CountsBootsFromOneAndReplacesTheCounterFileWhole) {
    const std::string counter = root.prepare("/fs/etfs/bootCount.bin");
    EXPECT_EQ(Manager::getBootCount(), 0U);
    Manager::incrementBootCount();
    EXPECT_EQ(Manager::getBootCount(), 1U);
    EXPECT_EQ(root.readFile("/fs/etfs/bootCount.bin"), std::string("\x01\x00\x00\x00", 4));
    const ino_t before = inodeOf(counter);

    Manager::incrementBootCount();
    EXPECT_EQ(Manager::getBootCount(), 2U);
    EXPECT_NE(inodeOf(counter), before);
    EXPECT_EQ(folderEntries(root.path() + "/fs/etfs"), std::set<std::string>{"bootCount.bin"});

    Manager::resetCachedState();
    EXPECT_EQ(Manager::getBootCount(), 2U);
}

TEST_F(HardwareManagerTest, ABootCounterLinkedOutOfTheUnitIsNeitherReadNorWrittenThrough) {
    const std::string outside = root.path() + "/outside/count";
    root.writeFile("/outside/count", std::string("\x05\x00\x00\x00", 4));
    std::filesystem::create_directories(root.path() + "/fs/etfs");
    std::filesystem::create_symlink(outside, root.path() + "/fs/etfs/bootCount.bin");

    Manager::incrementBootCount();

    EXPECT_EQ(Manager::getBootCount(), 1U);
    EXPECT_EQ(root.readFile("/fs/etfs/bootCount.bin"), std::string("\x01\x00\x00\x00", 4));
    EXPECT_FALSE(std::filesystem::is_symlink(root.path() + "/fs/etfs/bootCount.bin"));
    EXPECT_EQ(root.readFile("/outside/count"), std::string("\x05\x00\x00\x00", 4));
}

TEST_F(HardwareManagerTest, ReadsTheBootCountOnlyFromAWholeFile) {
    const struct {
        const char* name;
        std::string contents;
        std::uint32_t loaded;
        std::string written;
    } cases[] = {
        {"empty file", "", 0, std::string("\x01\x00\x00\x00", 4)},
        {"two bytes", std::string("\x05\x01", 2), 0, std::string("\x01\x00\x00\x00", 4)},
        {"four bytes", std::string("\x05\x01\x00\x00", 4), 0x105,
         std::string("\x06\x01\x00\x00", 4)},
        {"five bytes", std::string("\xFF\x00\x00\x01\x07", 5), 0x010000FF,
         std::string("\x00\x01\x00\x01", 4)},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Manager::resetCachedState();
        root.writeFile("/fs/etfs/bootCount.bin", testCase.contents);
        EXPECT_EQ(Manager::getBootCount(), testCase.loaded);
        Manager::incrementBootCount();
        EXPECT_EQ(root.readFile("/fs/etfs/bootCount.bin"), testCase.written);
    }
}

TEST_F(HardwareManagerTest, KeepsTheCountWhenTheCounterCannotBeReplaced) {
    // No data partition: nothing can be written.
    Manager::incrementBootCount();
    EXPECT_EQ(Manager::getBootCount(), 0U);
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/fs"));

    // A folder in the counter's place: the rename fails and leaves nothing behind.
    root.writeFile("/fs/etfs/bootCount.bin/blocker", "");
    Manager::incrementBootCount();
    EXPECT_EQ(Manager::getBootCount(), 0U);
    EXPECT_EQ(folderEntries(root.path() + "/fs/etfs"), std::set<std::string>{"bootCount.bin"});
}

const Bytes pmicRequestHeader{0x5A, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0};

Bytes pmicRequest(std::uint8_t reg, std::uint8_t value) {
    Bytes request = pmicRequestHeader;
    request.push_back(reg);
    request.push_back(value);
    return request;
}

TEST_F(HardwareManagerTest, ShutsDownTheM2ThroughThePmicAndTheResetRegister) {
    const std::string failures =
        "12345 6 HardwareManager: Shutdown M2\n"
        "12345 6 HardwareManager: M2 PMIC i2c_write failed: reg = 11 data = 69\n"
        "12345 6 HardwareManager: M2 PMIC i2c_write failed: reg = 13 data = 1\n";
    const struct {
        const char* name;
        std::optional<std::int32_t> driverResult;  // none: no I2C driver
        std::string log;
    } cases[] = {
        {"driver accepts", 0,
         "12345 6 HardwareManager: Shutdown M2\n"
         "12345 6 HardwareManager: M2 PMIC Watchdog Enabled\n"
         "12345 6 HardwareManager: M2 PMIC Watchdog Timer Reset\n"},
        {"driver fails", EIO, failures},
        {"no driver", std::nullopt, failures},
    };
    makeMemory();
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        useFamily("M2");
        clearSystemLog();
        writeMemory(m2ResetRegister - 4, {0xAA, 0xAA, 0xAA, 0xAA, 0x78, 0x5F, 0x34, 0x12, 0xBB});
        std::optional<I2cDriver> i2c;
        if (testCase.driverResult) {
            i2c.emplace(root, *testCase.driverResult);
        }

        Manager::shutdown();

        EXPECT_EQ(systemLog(), testCase.log);
        EXPECT_EQ(readMemory(m2ResetRegister - 4, 9),
                  (Bytes{0xAA, 0xAA, 0xAA, 0xAA, 0x78, 0x5E, 0x34, 0x12, 0xBB}));
        if (i2c) {
            const std::vector<std::pair<std::uint32_t, Bytes>> expected{
                {Platform::DeviceCommands::i2cSend, pmicRequest(0x11, 0x69)},
                {Platform::DeviceCommands::i2cSend, pmicRequest(0x13, 0x01)}};
            EXPECT_EQ(i2c->requests(), expected);
        }
    }
}

}  // namespace
