#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CoreSystem/HardwareManager.h"
#include "InstallFixtures.h"
#include "TestSupport.h"
#include "boot/InstallLog.h"
#include "boot/bluetooth/BluetoothInstaller.h"
#include "boot/bluetooth/DfuFile.h"
#include "boot/installers/BootStrapInstaller.h"
#include "boot/installers/IplInstaller.h"
#include "boot/installers/PicInstaller.h"
#include "boot/installers/TouchInstaller.h"
#include "platform/Device.h"
#include "platform/DeviceCommands.h"
#include "platform/testkit/FastForwardClock.h"
#include "sim/common/UnitConfiguration.h"
#include "sim/common/UnitPaths.h"
#include "sim/drivers/IplControlDriver.h"
#include "sim/drivers/PmicI2cDriver.h"

namespace {

using Boot::InstallStatus;
using CoreSystem::Hardware::DataBlockEnum;
using CoreSystem::Hardware::Manager;
using ::testing::_;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Bytes that differ from piece to piece and from image to image.
std::string patternImage(std::size_t size, int seed) {
    std::string image;
    for (std::size_t index = 0; index < size; ++index) {
        image.push_back(static_cast<char>(index * 7 + static_cast<std::size_t>(seed)));
    }
    return image;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        result.push_back(line);
    }
    return result;
}

// Waits (polling, within a generous bound) until `condition` holds; says whether it did.
bool eventually(const std::function<bool()>& condition) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

bool pathExists(const std::string& hostPath) {
    struct stat status {};
    return lstat(hostPath.c_str(), &status) == 0;
}

// Whether the path is a socket that answers as a device that is only waited for.
bool servesAsGenericDevice(const std::string& hostPath) {
    Platform::Device device = Platform::Device::open(hostPath, O_RDWR);
    std::array<std::uint8_t, 8> buffer{1, 2, 3};
    return device.isSocket() && device.read(buffer.data(), buffer.size()) == 0 &&
           device.write(buffer.data(), 3) == 3 && device.devctl(0x1234, buffer.data(), 4) == 0;
}

class UnitDriverTest : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv("DEVICEFAMILY");
        Manager::resetCachedState();
    }

    // Runs unit-driver NAME ARGUMENTS in the test's process group.
    TestSupport::ProgramRun start(const std::string& name,
                                  const std::vector<std::string>& arguments = {}) {
        std::vector<std::string> words{name};
        words.insert(words.end(), arguments.begin(), arguments.end());
        return TestSupport::runProgram(UNIT_DRIVER_PATH, words, scratch, &group);
    }
    std::string host(const std::string& unitPath) const { return root.path() + unitPath; }
    std::string received(const std::string& name) const {
        return root.readFile(std::string(Sim::UnitPaths::receivedFolder) + name);
    }
    // The running stand-ins: process id and the name each recorded.
    std::map<pid_t, std::string> standins() const {
        std::map<pid_t, std::string> found;
        std::error_code error;
        for (const auto& entry :
             std::filesystem::directory_iterator(host(Sim::UnitPaths::processFolder), error)) {
            const std::string text = TestSupport::readHostFile(entry.path());
            found[static_cast<pid_t>(std::stoi(entry.path().filename().string()))] =
                text.substr(0, text.find('\n'));
        }
        return found;
    }
    void configure(const Sim::UnitConfiguration& configuration) const {
        root.prepare(Sim::UnitPaths::configuration);
        ASSERT_TRUE(configuration.save(root.path()));
    }
    // Runs `installer` over `image` placed inside a package, as the install sequence does.
    InstallStatus install(Boot::ComponentInstallerBase& installer, const std::string& image,
                          std::uint32_t version = 1, std::uint32_t type = 9) {
        std::istringstream package("header" + image + "next");
        const Boot::ComponentEntry entry{.type = type,
                                         .version = version,
                                         .size = image.size(),
                                         .offset = 6,
                                         .crc = TestSupport::packageCrc(image)};
        return installer.run(&ui, entry, package, 0.0F,
                             image.empty() ? 0.0F : 50.0F / static_cast<float>(image.size()),
                             &installLog);
    }
    void openInstallLog() { installLog.open(root.prepare("/mnt/stick/install.log")); }

    TestSupport::TemporaryUnitRoot root;
    const std::string scratch = root.prepare("/scratch/");
    TestSupport::ProcessGroup group;  // after the root: its programs end before the root goes
    TestSupport::RecordingInterface ui;
    Boot::InstallLog installLog;
};

TEST_F(UnitDriverTest, CreatesAndServesTheDevicePathsItsCommandNames) {
    struct Case {
        std::vector<std::string> command;
        std::vector<std::string> paths;
    };
    const Case cases[] = {
        {{"spi-master", "-u0", "-d", "msiof", "channel=0"}, {"/dev/spi0"}},
        {{"i2c-rcar_i2c", "-c4", "--u4"}, {"/dev/i2c4"}},
        {{"dev-can-m2", "-x", "-u1", "can1"}, {"/dev/can1"}},
        {{"pwm-mx", "-d", "clksrc=5", "-u", "1", "-p", "0xe6060008"},
         {"/dev/pwm1", "/dev/backlight1"}},
        {{"backlight-m2", "-u", "0"}, {"/dev/pwm0", "/dev/backlight0"}},
        {{"power-fail"}, {"/dev/power-fail"}},
        {{"random", "-p"}, {"/dev/random"}},
        {{"io-pkt-v4-hc"}, {"/dev/socket"}},
        {{"devc-serscif485", "-e", "-u4", "scif4"}, {"/dev/rs4854"}},
        {{"devb-mmcsd-rcarm2-trevanic-mmc"}, {"/dev/emmc0"}},
        {{"devb-mmcsd-rcarm2-trevanic-sdhi", "mmcsd", "channel=0"},
         {"/dev/devb-mmcsd-rcarm2-trevanic-sdhi"}},
    };
    std::string expectedLog;
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.command.front());
        const std::vector<std::string> arguments(testCase.command.begin() + 1,
                                                 testCase.command.end());
        const TestSupport::ProgramRun run = start(testCase.command.front(), arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        for (const std::string& path : testCase.paths) {
            EXPECT_TRUE(servesAsGenericDevice(host(path))) << path;
        }
        for (std::size_t word = 0; word < testCase.command.size(); ++word) {
            expectedLog += (word == 0 ? "" : " ") + testCase.command[word];
        }
        expectedLog += "\n";
    }
    EXPECT_EQ(root.readFile(Sim::UnitPaths::commandsLog), expectedLog);
    EXPECT_THAT(standins(), Contains(Pair(_, "devb-mmcsd-rcarm2-trevanic-mmc")));
}

TEST_F(UnitDriverTest, TakesItsDriverNameFromTheNameItIsCalledBy) {
    const std::string link = root.prepare("/var/sim/bin/thermal");
    ASSERT_EQ(symlink(UNIT_DRIVER_PATH, link.c_str()), 0);
    const TestSupport::ProgramRun run = TestSupport::runProgram(link, {"-v"}, scratch, &group);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(servesAsGenericDevice(host("/dev/thermal")));
    EXPECT_EQ(root.readFile(Sim::UnitPaths::commandsLog), "thermal -v\n");
}

TEST_F(UnitDriverTest, TheScreenIsAFolderWithNoProcessBehindIt) {
    EXPECT_EQ(start("screen").status, 0);
    EXPECT_TRUE(std::filesystem::is_directory(host("/dev/screen")));
    EXPECT_THAT(standins(), IsEmpty());
}

TEST_F(UnitDriverTest, LeavesAnExistingPathAloneAndCreatesOnlyWhatIsMissing) {
    root.writeFile("/dev/key", "a test's own driver");
    root.writeFile("/dev/backlight1", "kept");
    EXPECT_EQ(start("key").status, 0);
    EXPECT_EQ(start("pwm-mx", {"-u", "1"}).status, 0);

    EXPECT_EQ(root.readFile("/dev/key"), "a test's own driver");
    EXPECT_EQ(root.readFile("/dev/backlight1"), "kept");
    EXPECT_TRUE(servesAsGenericDevice(host("/dev/pwm1")));
    EXPECT_THAT(standins(), ElementsAre(Pair(_, "pwm-mx")));
    EXPECT_EQ(root.readFile(Sim::UnitPaths::commandsLog), "key\npwm-mx -u 1\n");
}

TEST_F(UnitDriverTest, CreatesNoDeviceThatTheUnitDoesNotHaveAttached) {
    Sim::UnitConfiguration configuration;
    configuration.attached = {"key"};
    configure(configuration);
    const struct {
        const char* name;
        const char* path;
    } cases[] = {
        {"touch-dura", "/dev/touch-dura"}, {"io-interface-opt", "/dev/io_interface"},
        {"iplctl", "/dev/iplctl"},         {"devb-mmcsd-rcarm2-trevanic-mmc", "/dev/emmc0"},
        {"devc-serscif", "/dev/ser1"},     {"devc-serusb", "/dev/serusb1"}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(start(testCase.name).status, 0);
        EXPECT_FALSE(pathExists(host(testCase.path)));
    }
    EXPECT_THAT(standins(), IsEmpty());
    EXPECT_EQ(start("key").status, 0);
    EXPECT_TRUE(pathExists(host("/dev/key")));
}

TEST_F(UnitDriverTest, RefusesWrongUseWithALineAndStatusTwo) {
    const struct {
        std::vector<std::string> arguments;  // after "unit-driver"
        const char* message;
    } cases[] = {
        {{}, "usage: unit-driver"},
        {{"no-such-driver"}, "no driver named 'no-such-driver'"},
        {{"pwm-mx", "-d", "clksrc=5"}, "pwm-mx: needs a unit number (-uN)"},
        {{"dev-can-m2", "-x", "-u../../x", "can0"}, "dev-can-m2: needs a unit number (-uN)"},
        {{"i2c-rcar_i2c", "-c", "12345"}, "i2c-rcar_i2c: needs a unit number (-cN)"},
    };
    for (const auto& testCase : cases) {
        const TestSupport::ProgramRun run =
            TestSupport::runProgram(UNIT_DRIVER_PATH, testCase.arguments, scratch, &group);
        EXPECT_EQ(run.status, 2) << testCase.message;
        EXPECT_THAT(run.err, ::testing::HasSubstr(testCase.message));
    }
    EXPECT_FALSE(pathExists(host("/dev")));
    const TestSupport::ProgramRun help = start("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, ::testing::HasSubstr("iplctl"));
}

TEST_F(UnitDriverTest, KeyAndTouchMessagesWrittenArriveWholeAtABlockedReader) {
    const struct {
        const char* driver;
        const char* path;
        std::size_t size;
    } cases[] = {{"key", "/dev/key", 2}, {"touch-dura", "/dev/touch-dura", 28}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.driver);
        ASSERT_EQ(start(testCase.driver).status, 0);
        // As the loader's reader thread does: one device, one fixed-size read after another.
        Platform::Device reader = Platform::Device::open(host(testCase.path), O_RDWR);
        ASSERT_TRUE(reader.isSocket());
        std::vector<Bytes> read;
        std::thread readerThread([&] {
            for (int message = 0; message < 2; ++message) {
                Bytes bytes(testCase.size);
                if (reader.read(bytes.data(), bytes.size()) ==
                    static_cast<ssize_t>(testCase.size)) {
                    read.push_back(bytes);
                }
            }
        });
        Platform::Device writer = Platform::Device::open(host(testCase.path), O_RDWR);
        const std::string first = patternImage(testCase.size, 1);
        const std::string second = patternImage(testCase.size, 2);
        Bytes tooLong(testCase.size + 1);
        errno = 0;
        EXPECT_EQ(writer.write(tooLong.data(), tooLong.size()), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(writer.write(first.data(), first.size()), static_cast<ssize_t>(testCase.size));
        EXPECT_EQ(writer.write(second.data(), second.size()), static_cast<ssize_t>(testCase.size));
        readerThread.join();
        EXPECT_EQ(read, (std::vector<Bytes>{Bytes(first.begin(), first.end()),
                                            Bytes(second.begin(), second.end())}));
        // A read too short for a message is refused and takes nothing.
        EXPECT_EQ(writer.write(first.data(), first.size()), static_cast<ssize_t>(testCase.size));
        Bytes small(testCase.size - 1);
        EXPECT_EQ(reader.read(small.data(), small.size()), -1);
        Bytes whole(testCase.size);
        EXPECT_EQ(reader.read(whole.data(), whole.size()), static_cast<ssize_t>(testCase.size));
        EXPECT_EQ(whole, Bytes(first.begin(), first.end()));
    }
}

TEST_F(UnitDriverTest, EndsOnSigtermRemovingItsPathAndANewStartServesAgain) {
    const struct {
        const char* driver;
        std::vector<std::string> arguments;
        const char* path;
        bool link;  // a serial port: a symbolic link to a terminal
    } cases[] = {{"key", {}, "/dev/key", false},
                 {"io-interface", {}, "/dev/io_interface", false},
                 {"devc-serscif", {"-b115200", "scifb1"}, "/dev/ser1", true}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.driver);
        for (int round = 0; round < 2; ++round) {
            ASSERT_EQ(start(testCase.driver, testCase.arguments).status, 0);
            const std::map<pid_t, std::string> running = standins();
            ASSERT_EQ(running.size(), 1U);
            const pid_t driver = running.begin()->first;
            EXPECT_EQ(running.begin()->second, testCase.driver);
            EXPECT_EQ(getpgid(driver), group.id()) << "stays in the caller's process group";
            Platform::Device device = Platform::Device::open(host(testCase.path), O_RDWR);
            ASSERT_TRUE(device.isOpen());
            EXPECT_EQ(device.isSocket(), !testCase.link);
            EXPECT_EQ(isatty(device.nativeHandle()) == 1, testCase.link);
            EXPECT_EQ(std::filesystem::is_symlink(host(testCase.path)), testCase.link);
            device.close();

            ASSERT_EQ(kill(driver, SIGTERM), 0);
            EXPECT_TRUE(eventually([&] { return !pathExists(host(testCase.path)); }));
            EXPECT_TRUE(eventually([&] { return standins().empty(); }));
        }
    }
}

TEST_F(UnitDriverTest, TheHardwareShutdownsPmicWritesAreLoggedAndItsWatchdogResetMarksTheReset) {
    ASSERT_EQ(start("i2c-rcar", {"-u3", "--u6"}).status, 0);
    setenv("DEVICEFAMILY", "M2", 1);
    Manager::resetCachedState();

    Manager::shutdown();

    EXPECT_EQ(received("pmic.log"),
              "slave 0x5a reg 0x11 value 0x69\nslave 0x5a reg 0x13 value 0x01\n");
    EXPECT_EQ(lines(root.readFile(Sim::UnitPaths::resetMarker)).size(), 1U);
    EXPECT_THAT(root.readFile("/var/log/slog"),
                ::testing::HasSubstr("HardwareManager: M2 PMIC Watchdog Timer Reset"));
}

TEST_F(UnitDriverTest, OnlyTheWatchdogResetOfThePmicMarksAResetAndMalformedSendsAreRefused) {
    const Sim::PmicI2cDriver driver(root.prepare("/dev/i2c6"), host("/var/run/reset"));
    const auto send = [&](Bytes request) {
        Platform::Device device = Platform::Device::open(host("/dev/i2c6"), O_RDWR);
        return device.devctl(Platform::DeviceCommands::i2cSend, request.data(), request.size());
    };
    const auto request = [](std::uint32_t slave, std::uint32_t length, Bytes bytes) {
        Bytes data{static_cast<std::uint8_t>(slave),  0, 0, 0, 1, 0, 0, 0,
                   static_cast<std::uint8_t>(length), 0, 0, 0, 1, 0, 0, 0};
        std::ranges::copy(bytes, std::back_inserter(data));
        return data;
    };
    const struct {
        const char* name;
        Bytes request;
        int result;
    } cases[] = {
        {"watchdog enable", request(0x5A, 2, {0x11, 0x69}), 0},
        {"other slave", request(0x50, 2, {0x13, 0x01}), 0},
        {"other value", request(0x5A, 2, {0x13, 0x00}), 0},
        {"three bytes", request(0x5A, 3, {0x13, 0x01, 0x00}), 0},
        {"length beyond the data", request(0x5A, 4, {0x13, 0x01}), EINVAL},
        {"short header", Bytes(10, 0), EINVAL},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(send(testCase.request), testCase.result) << testCase.name;
    }
    EXPECT_FALSE(pathExists(host("/var/run/reset")));
    EXPECT_EQ(received("pmic.log"),
              "slave 0x5a reg 0x11 value 0x69\nslave 0x50 reg 0x13 value 0x01\n"
              "slave 0x5a reg 0x13 value 0x00\nslave 0x5a bytes 0x13 0x01 0x00\n");
}

TEST_F(UnitDriverTest, ServesTheFactoryDataBlocksFromTheUnitsFiles) {
    const Bytes block1 = TestSupport::makeBlock1({{0, 2001001}, {1, 7000123}, {8, 3}});
    const Bytes block2(256, 0x22);
    const std::string folder = Sim::UnitPaths::factoryDataFolder;
    root.writeFile(folder + "block1.bin", std::string(block1.begin(), block1.end()));
    root.writeFile(folder + "block2.bin", std::string(block2.begin(), block2.end()));
    root.writeFile(folder + "block3.bin", std::string(100, 'x'));  // not a whole block
    ASSERT_EQ(start("iplctl").status, 0);
    setenv("DEVICEFAMILY", "M2", 1);
    Manager::resetCachedState();

    EXPECT_EQ(Manager::readDataBlock(DataBlockEnum::block1), block1);
    EXPECT_EQ(Manager::readDataBlock(DataBlockEnum::block2), block2);
    EXPECT_THAT(Manager::readDataBlock(DataBlockEnum::block3), IsEmpty());

    std::filesystem::remove(host(folder + "block1.bin"));
    Manager::resetCachedState();
    EXPECT_THAT(Manager::readDataBlock(DataBlockEnum::block1), IsEmpty()) << "a missing file";
}

TEST_F(UnitDriverTest, FirmwareInstallsThroughTheDriversSucceedAndDeliverTheExactImage) {
    struct Case {
        const char* driver;
        std::function<std::unique_ptr<Boot::ComponentInstallerBase>()> installer;
        std::uint32_t version;
        const char* receivedName;
        std::vector<std::string> requests;
        const char* logLine;
    };
    const std::vector<std::string> pieces{"data 1024 bytes", "data 1024 bytes", "data 452 bytes"};
    const auto with = [&pieces](std::vector<std::string> before, std::vector<std::string> after) {
        before.insert(before.end(), pieces.begin(), pieces.end());
        before.insert(before.end(), after.begin(), after.end());
        return before;
    };
    const Case cases[] = {
        {"touch-dura", [] { return std::make_unique<Boot::TouchInstaller>(); }, 1, "touch-firmware",
         with({}, {"status 0"}), "-- Touch Update Complete -- Status 0"},
        {"io-interface-opt", [] { return std::make_unique<Boot::PicInstaller>(); }, 1,
         "pic-firmware", with({"query"}, {"status 0"}), "PicStatus is 0"},
        {"iplctl", [] { return std::make_unique<Boot::IplInstaller>(); }, 1, "ipl-firmware",
         with({}, {"status 0"}), "-- IPL Update Complete -- Status 0"},
        {"iplctl", [] { return std::make_unique<Boot::BootStrapInstaller>(); }, 2910247,
         "bootstrap-firmware", with({}, {"status 0"}), "-- Bootstrap Update Complete -- Status 0"},
    };
    openInstallLog();
    int seed = 0;
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.receivedName);
        ASSERT_EQ(start(testCase.driver).status, 0);
        const std::string image = patternImage(2500, ++seed);
        const auto installer = testCase.installer();

        EXPECT_EQ(install(*installer, image, testCase.version), InstallStatus::success);
        EXPECT_TRUE(received(std::string(testCase.receivedName) + ".bin") == image);
        EXPECT_EQ(lines(received(std::string(testCase.receivedName) + ".log")), testCase.requests);
        EXPECT_THAT(TestSupport::installLogLines(root), Contains(testCase.logLine));
    }
}

TEST_F(UnitDriverTest, TheIplControlDriverSortsImagesByTheStatusRequestThatEndsThem) {
    Sim::IplControlDriver driver(root.prepare("/dev/iplctl"), host("/var/sim/factory/"));
    openInstallLog();
    const std::string iplImage = patternImage(1500, 3);
    const std::string bootstrapImage = patternImage(700, 4);
    std::vector<std::size_t> iplBytesAtStatus;
    driver.iplFirmware().setStatusHook(
        [&] { iplBytesAtStatus.push_back(driver.iplFirmware().received().size()); });
    driver.bootstrapFirmware().setStatusWord(7);
    Boot::IplInstaller ipl;
    Boot::BootStrapInstaller bootstrap;

    EXPECT_EQ(install(ipl, iplImage), InstallStatus::success);
    EXPECT_EQ(install(bootstrap, bootstrapImage, 2910247), InstallStatus::success);
    EXPECT_EQ(install(ipl, ""), InstallStatus::success);

    EXPECT_TRUE(driver.iplFirmware().received() == Bytes(iplImage.begin(), iplImage.end()));
    EXPECT_TRUE(driver.bootstrapFirmware().received() ==
                Bytes(bootstrapImage.begin(), bootstrapImage.end()));
    EXPECT_THAT(driver.iplFirmware().requests(),
                ElementsAre("data 1024 bytes", "data 476 bytes", "status 0", "status 0"));
    EXPECT_THAT(driver.bootstrapFirmware().requests(), ElementsAre("data 700 bytes", "status 7"));
    EXPECT_THAT(iplBytesAtStatus, ElementsAre(1500, 1500)) << "the whole image before the answer";
    EXPECT_THAT(TestSupport::installLogLines(root),
                Contains("-- Bootstrap Update Complete -- Status 7"));

    // Block requests are counted, also the ones that fail (here: no factory files at all).
    Platform::Device device = Platform::Device::open(host("/dev/iplctl"), O_RDWR);
    Bytes block(256);
    EXPECT_EQ(device.devctl(Platform::DeviceCommands::iplReadDataBlock2, block.data(), 256), EIO);
    EXPECT_EQ(device.devctl(Platform::DeviceCommands::iplReadDataBlock2, block.data(), 100),
              EINVAL);
    EXPECT_EQ(driver.blockReads(), 2);
}

// A firmware file for the module: an image naming `build`, then a valid suffix.
Bytes bluetoothFirmware(std::size_t size, std::uint32_t build) {
    // The format's magic, eight header bytes, then the text the module takes its build from.
    const std::string text =
        "CSR-dfu2" + std::string(8, '\x01') + "module image, build " + std::to_string(build) + ";";
    Bytes file(text.begin(), text.end());
    const std::string filler = patternImage(size - Boot::Bluetooth::dfuSuffixSize - file.size(), 5);
    file.insert(file.end(), filler.begin(), filler.end());
    const Bytes suffix = Boot::Bluetooth::dfuMakeSuffix(file, 0x0102, 0x0001, 0x1234);
    file.insert(file.end(), suffix.begin(), suffix.end());
    return file;
}

TEST_F(UnitDriverTest, ABluetoothInstallThroughTheSerialPortUpdatesTheModule) {
    Sim::UnitConfiguration configuration;
    configuration.bluetoothBuild = 4321;
    configure(configuration);
    root.prepare("/tmp/");
    ASSERT_EQ(start("devc-serscif", {"-b115200", "-I4096", "-O4096", "scifb1"}).status, 0);
    ASSERT_TRUE(std::filesystem::is_symlink(host("/dev/ser1")));
    EXPECT_THAT(std::filesystem::read_symlink(host("/dev/ser1")).string(),
                ::testing::StartsWith("/dev/pts/"));
    openInstallLog();
    const Bytes file = bluetoothFirmware(20000, 5678);
    // The installer's waits of a second and more pass quickly; the line's polls run for real.
    const Platform::Testkit::FastForwardClock clock{100ms, 50};
    Boot::BluetoothInstaller installer;

    EXPECT_EQ(install(installer, std::string(file.begin(), file.end()), 5678, 6),
              InstallStatus::success);

    const std::vector<std::string> expected{
        "build 4321", "DFU mode",
        "downloaded " + std::to_string(file.size() - Boot::Bluetooth::dfuSuffixSize) + " bytes",
        "build 5678"};
    EXPECT_TRUE(eventually([&] { return lines(received("bluetooth.log")).size() >= 4; }));
    EXPECT_EQ(lines(received("bluetooth.log")), expected);
    EXPECT_TRUE(received("bluetooth-firmware.bin") ==
                std::string(file.begin(), file.end() - Boot::Bluetooth::dfuSuffixSize));
    EXPECT_THAT(TestSupport::installLogLines(root),
                Contains("Bluetooth device version = 4321. Update version = 5678"));
}

}  // namespace
