#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CoreSystem/HardwareManager.h"
#include "InstallFixtures.h"
#include "TestSupport.h"
#include "boot/InstallLog.h"
#include "boot/bluetooth/BluetoothInstaller.h"
#include "boot/bluetooth/DfuFile.h"
#include "platform/testkit/FastForwardClock.h"
#include "sim/bluetooth/SimulatedChip.h"

namespace {

using Boot::ComponentEntry;
using Boot::InstallStatus;
using Bytes = std::vector<std::uint8_t>;
using Sim::ChipOptions;
using Sim::ChipReport;
using Sim::SimulatedChip;
using ::testing::Contains;
using ::testing::ElementsAre;
using TestSupport::Report;
using namespace std::chrono_literals;

constexpr std::uint32_t moduleBuild = 1234;
constexpr std::uint32_t updateBuild = 5678;
constexpr std::size_t packageOffset = 100;

// A firmware file of `size` bytes whose header names `build`, with a valid suffix; the image
// bytes are pseudo-random, so frame delimiters and escapes turn up in every block.
Bytes firmwareFile(std::size_t size, std::uint32_t build) {
    const std::string header = "CSR-dfu2\x01\x02\x03\x04\x05\x06\x07\x08Module firmware build " +
                               std::to_string(build) + " for tests";
    Bytes image(header.begin(), header.end());
    std::uint32_t state = 0x2545F491;
    while (image.size() < size - Boot::Bluetooth::dfuSuffixSize) {
        state = state * 1664525U + 1013904223U;
        image.push_back(static_cast<std::uint8_t>(state >> 24U));
    }
    const Bytes suffix = Boot::Bluetooth::dfuMakeSuffix(image, 0x0102, 0x0001, 0x1234);
    image.insert(image.end(), suffix.begin(), suffix.end());
    return image;
}

Bytes withoutSuffix(const Bytes& file) {
    return {file.begin(), file.end() - static_cast<std::ptrdiff_t>(Boot::Bluetooth::dfuSuffixSize)};
}

ChipOptions chipOptions() {
    ChipOptions options;
    options.device.build = moduleBuild;
    // Large blocks keep the number of round trips, each a few real polls, small.
    options.device.transferSize = 3072;
    options.device.pollTimeout = 5;
    options.device.busyPollsPerBlock = 1;
    return options;
}

class BluetoothInstallerTest : public ::testing::Test {
protected:
    BluetoothInstallerTest() {
        log.open(root.prepare("/mnt/stick/install.log"));
        std::filesystem::create_directory(root.path() + "/tmp");
    }

    // Links the unit's serial port (UNIT_ROOT + unitPath) to the chip's line.
    void attach(const SimulatedChip& chip, const char* unitPath = "/dev/ser1") const {
        ASSERT_EQ(symlink(chip.slavePath().c_str(), root.prepare(unitPath).c_str()), 0);
    }

    // Installs `component` as the package's Bluetooth entry (at an offset inside the package)
    // with 20 % done before it and a share of 50 %.
    InstallStatus install(const Bytes& component, std::uint32_t version) {
        std::string package(packageOffset, 'p');
        package.append(component.begin(), component.end());
        package += "next component";
        std::istringstream stream(package);
        return install(
            stream,
            {.type = 6,
             .version = version,
             .size = component.size(),
             .offset = packageOffset,
             .crc = TestSupport::packageCrc(std::string(component.begin(), component.end()))});
    }
    InstallStatus install(std::istream& package, const ComponentEntry& entry) {
        Boot::BluetoothInstaller installer;
        return installer.run(&ui, entry, package, 20.0F, 50.0F / static_cast<float>(entry.size),
                             &log);
    }

    std::vector<std::string> logLines() const { return TestSupport::installLogLines(root); }
    bool dfuFileWritten() const {
        return std::filesystem::exists(root.path() + "/tmp/bluetooth.dfu");
    }

    TestSupport::TemporaryUnitRoot root;
    TestSupport::RecordingInterface ui;
    Boot::InstallLog log;
};

// The module's waits of a second and more pass quickly; the polls of the link run in real time.
class BluetoothInstallerOnRealPollsTest : public BluetoothInstallerTest {
protected:
    Platform::Testkit::FastForwardClock clock{100ms, 50};
};

TEST_F(BluetoothInstallerOnRealPollsTest, DownloadsTheFirmwareAndTheModuleRestartsWithTheNewBuild) {
    const SimulatedChip chip(chipOptions());
    attach(chip);
    const Bytes file = firmwareFile(std::size_t{256} * 1024, updateBuild);

    EXPECT_EQ(install(file, updateBuild), InstallStatus::success);
    const ChipReport report = chip.report();
    EXPECT_EQ(report.manifestations, 1U);
    EXPECT_TRUE(report.manifestedImage == withoutSuffix(file)) << "the exact image arrived";
    EXPECT_EQ(report.runningBuild, updateBuild);
    EXPECT_TRUE(TestSupport::readHostFile(root.path() + "/tmp/bluetooth.dfu") ==
                std::string(file.begin(), file.end()));
    EXPECT_THAT(logLines(),
                ElementsAre("-- Begin Bluetooth Update --", "Opening Bluetooth device /dev/ser1.",
                            "Success to exiting mux mode.", "Resetting Bluetooth device.",
                            "Bluetooth device version = 1234. Update version = 5678",
                            "Write 'BOOT 1' successful to bluetooth device.",
                            "-- Bluetooth Update Complete --"));
    EXPECT_THAT(ui.reports, ElementsAre(Report{20, "Begin Bluetooth Update"},
                                        Report{70, "End Bluetooth Update"}));
}

TEST_F(BluetoothInstallerOnRealPollsTest, DownloadsTheExactImageDespiteLostAndDamagedFrames) {
    struct Case {
        const char* name;
        void (*apply)(ChipOptions&);
    };
    const Case cases[] = {
        {"every Nth frame lost or damaged",
         [](ChipOptions& options) {
             options.toLoader.drop.every = 37;
             options.fromLoader.corrupt.every = 41;
             options.toLoader.strayBytes.every = 53;
         }},
        {"seeded random faults both ways",
         [](ChipOptions& options) {
             options.seed = 7;
             options.fromLoader.drop.probability = 0.01;
             options.toLoader.corrupt.probability = 0.01;
             options.toLoader.duplicate.probability = 0.02;
             options.fromLoader.duplicate.probability = 0.02;
             options.toLoader.delay.probability = 0.01;
         }},
    };
    const Bytes file = firmwareFile(std::size_t{256} * 1024, updateBuild);
    for (const Case& faultCase : cases) {
        SCOPED_TRACE(faultCase.name);
        ChipOptions options = chipOptions();
        faultCase.apply(options);
        const SimulatedChip chip(options);
        std::filesystem::remove(root.path() + "/dev/ser1");
        attach(chip);

        EXPECT_EQ(install(file, updateBuild), InstallStatus::success);
        const ChipReport report = chip.report();
        EXPECT_GT(report.faultsApplied, 0U);
        EXPECT_TRUE(report.manifestedImage == withoutSuffix(file)) << "the exact image arrived";
        EXPECT_EQ(report.runningBuild, updateBuild);
    }
}

TEST_F(BluetoothInstallerOnRealPollsTest, UpdatesAModuleWhoseResetReplyNamesNoBuild) {
    ChipOptions options = chipOptions();
    options.bannerNamesBuild = false;
    const SimulatedChip chip(options);
    attach(chip);
    const Bytes file = firmwareFile(20000, updateBuild);

    EXPECT_EQ(install(file, updateBuild), InstallStatus::success);
    EXPECT_THAT(logLines(), Contains("Bluetooth device version is unknown (no build number in its "
                                     "reply). Update version = 5678"));
    EXPECT_EQ(chip.report().runningBuild, updateBuild);
}

TEST_F(BluetoothInstallerOnRealPollsTest, SkipsAModuleThatRunsTheUpdateAndPrefersTheUsbPort) {
    ChipOptions usbOptions = chipOptions();
    usbOptions.device.build = updateBuild;
    const SimulatedChip usbChip(usbOptions);
    const SimulatedChip onChipChip(chipOptions());
    attach(usbChip, "/dev/serusb1");
    attach(onChipChip, "/dev/ser1");

    EXPECT_EQ(install(firmwareFile(4096, updateBuild), updateBuild), InstallStatus::success);
    EXPECT_THAT(
        logLines(),
        ElementsAre("-- Begin Bluetooth Update --", "Opening Bluetooth device /dev/serusb1.",
                    "Success to exiting mux mode.", "Resetting Bluetooth device.",
                    "Bluetooth device version = 5678. Update version = 5678",
                    "Bluetooth firmware is already updated. Skipping installation."));
    EXPECT_FALSE(dfuFileWritten());
    EXPECT_THAT(ui.reports, ElementsAre(Report{20, "Begin Bluetooth Update"}));
    EXPECT_EQ(usbChip.report().resetCommands, 1U);
    EXPECT_EQ(onChipChip.report().resetCommands, 0U);
}

TEST_F(BluetoothInstallerOnRealPollsTest, RefusesABrokenFirmwareFileBeforeBootingTheModule) {
    const SimulatedChip chip(chipOptions());
    attach(chip);
    Bytes file = firmwareFile(4096, updateBuild);
    file[2000] ^= 0x20U;

    EXPECT_EQ(install(file, updateBuild), InstallStatus::invalidFile);
    EXPECT_EQ(logLines().back(), "DFU file error.  Aborting.");
    EXPECT_EQ(chip.report().bootCommands, 0U);
    EXPECT_EQ(chip.report().mode, ChipReport::Mode::Text);
}

TEST_F(BluetoothInstallerOnRealPollsTest, FailsWithoutASerialPort) {
    EXPECT_EQ(install(firmwareFile(4096, updateBuild), updateBuild), InstallStatus::failure);
    EXPECT_THAT(logLines(), ElementsAre("-- Begin Bluetooth Update --",
                                        "Error opening Bluetooth device.  Aborting."));
}

TEST_F(BluetoothInstallerOnRealPollsTest, OnM2BoardsClearsTheModuleControlBitFirst) {
    const std::string memory = root.prepare("/dev/mem");
    TestSupport::writeHostFile(memory, "");
    ASSERT_EQ(truncate(memory.c_str(), 0xE6051100), 0);
    const std::uint32_t allSet = 0xFFFFFFFF;
    const int handle = open(memory.c_str(), O_RDWR);
    ASSERT_GE(handle, 0);
    ASSERT_EQ(pwrite(handle, &allSet, sizeof allSet, 0xE6051008), 4);
    setenv("DEVICEFAMILY", "M2", 1);
    CoreSystem::Hardware::Manager::resetCachedState();

    EXPECT_EQ(install(firmwareFile(4096, updateBuild), updateBuild), InstallStatus::failure);
    std::uint32_t register_ = 0;
    EXPECT_EQ(pread(handle, &register_, sizeof register_, 0xE6051008), 4);
    EXPECT_EQ(register_, 0xFFFFFFFDU);
    close(handle);
    unsetenv("DEVICEFAMILY");
    CoreSystem::Hardware::Manager::resetCachedState();
}

// No peer polls need real pace here: every wait is fast-forwarded, also the link set-up's
// thousand short ones.
class BluetoothInstallerOnFastPollsTest : public BluetoothInstallerTest {
protected:
    Platform::Testkit::FastForwardClock clock{0ms, 50};
};

TEST_F(BluetoothInstallerOnFastPollsTest, GivesUpWhenTheModuleNeverAnswersOnItsLink) {
    ChipOptions options = chipOptions();
    options.answersBcsp = false;
    const SimulatedChip chip(options);
    attach(chip);

    EXPECT_EQ(install(firmwareFile(4096, updateBuild), updateBuild), InstallStatus::failure);
    EXPECT_EQ(logLines().back(), "Timeout while connecting to device.");
    EXPECT_EQ(chip.report().bootCommands, 1U);
    EXPECT_EQ(chip.report().manifestations, 0U);
}

TEST_F(BluetoothInstallerOnFastPollsTest, ReadsAComponentThatLiesBeyondFourGibibytes) {
    ChipOptions options = chipOptions();
    options.answersBcsp = false;
    const SimulatedChip chip(options);
    attach(chip);
    // A sparse package whose component starts above 4 GiB; its low 32 bits point at zeros.
    const Bytes file = firmwareFile(4096, updateBuild);
    const std::uint64_t offset = (std::uint64_t{1} << 32U) + packageOffset;
    const std::string packagePath = root.prepare("/mnt/stick/large.kx1");
    const int handle = open(packagePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(handle, 0);
    ASSERT_EQ(pwrite(handle, file.data(), file.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(file.size()));
    close(handle);
    std::ifstream package(packagePath, std::ios::binary);

    EXPECT_EQ(
        install(package, {.type = 6,
                          .version = updateBuild,
                          .size = file.size(),
                          .offset = offset,
                          .crc = TestSupport::packageCrc(std::string(file.begin(), file.end()))}),
        InstallStatus::failure);
    EXPECT_EQ(logLines().back(), "Timeout while connecting to device.") << "the file was good";
    EXPECT_TRUE(TestSupport::readHostFile(root.path() + "/tmp/bluetooth.dfu") ==
                std::string(file.begin(), file.end()));
}

}  // namespace
