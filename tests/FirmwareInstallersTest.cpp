#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "InstallFixtures.h"
#include "TestSupport.h"
#include "boot/InstallLog.h"
#include "boot/installers/BootStrapInstaller.h"
#include "boot/installers/IplInstaller.h"
#include "boot/installers/PicInstaller.h"
#include "boot/installers/TouchInstaller.h"
#include "platform/DeviceCommands.h"
#include "platform/testkit/DeviceServer.h"

namespace {

using Boot::ComponentEntry;
using Boot::InstallStatus;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
namespace Commands = Platform::DeviceCommands;

// A firmware driver that records every request and answers status requests with `status`.
class RecordingDriver {
public:
    struct Request {
        std::uint32_t command;
        std::vector<std::uint8_t> data;
    };

    RecordingDriver(const std::string& hostPath, std::int32_t status)
        : server_(hostPath, {.devctl = [this, status](std::uint32_t command,
                                                      std::vector<std::uint8_t>& data) {
                      const std::lock_guard lock(mutex_);
                      requests_.push_back({command, data});
                      if (command != Commands::firmwareData && data.size() >= 4) {
                          std::memcpy(data.data(), &status, sizeof status);
                      }
                      return 0;
                  }}) {}

    std::vector<Request> requests() {
        const std::lock_guard lock(mutex_);
        return requests_;
    }
    std::vector<std::size_t> pieceSizes() {
        std::vector<std::size_t> sizes;
        for (const Request& request : requests()) {
            if (request.command == Commands::firmwareData) {
                sizes.push_back(request.data.size());
            }
        }
        return sizes;
    }
    std::vector<std::uint32_t> commands() {
        std::vector<std::uint32_t> words;
        for (const Request& request : requests()) {
            if (words.empty() || words.back() != request.command) {
                words.push_back(request.command);
            }
        }
        return words;
    }
    std::string image() {
        std::string bytes;
        for (const Request& request : requests()) {
            if (request.command == Commands::firmwareData) {
                bytes.append(request.data.begin(), request.data.end());
            }
        }
        return bytes;
    }

private:
    std::mutex mutex_;
    std::vector<Request> requests_;
    Platform::Testkit::DeviceServer server_;
};

class FirmwareInstallersTest : public ::testing::Test {
protected:
    // Runs `installer` on an image of `size` bytes placed after some other package bytes.
    InstallStatus run(Boot::ComponentInstallerBase& installer, std::size_t size,
                      std::uint32_t version = 1) {
        image.clear();
        for (std::size_t index = 0; index < size; ++index) {
            image.push_back(static_cast<char>(index * 7 + 3));
        }
        std::istringstream package(std::string(100, 'x') + image);
        const ComponentEntry entry{.type = 9,
                                   .version = version,
                                   .size = size,
                                   .offset = 100,
                                   .crc = TestSupport::packageCrc(image)};
        return installer.run(&ui, entry, package, 20.0F, size == 0 ? 0.0F : 40.0F / float(size),
                             &log);
    }
    std::vector<std::string> logLines() const { return TestSupport::installLogLines(root); }
    std::unique_ptr<RecordingDriver> driver(const char* unitPath, std::int32_t status) {
        return std::make_unique<RecordingDriver>(root.prepare(unitPath), status);
    }

    TestSupport::TemporaryUnitRoot root;
    Boot::InstallLog log;
    TestSupport::RecordingInterface ui;
    std::string image;

    void SetUp() override { log.open(root.prepare("/mnt/stick/install.log")); }
};

TEST_F(FirmwareInstallersTest, ImagesGoToTheDriverInPiecesOfAtMost1024Bytes) {
    struct Case {
        std::size_t size;
        std::vector<std::size_t> pieces;
    };
    for (const Case& entry : {Case{2500, {1024, 1024, 452}}, Case{1024, {1024}}, Case{0, {}}}) {
        auto touch = driver("/dev/touch-dura", 0);
        Boot::TouchInstaller installer;
        EXPECT_EQ(run(installer, entry.size), InstallStatus::success);
        EXPECT_THAT(touch->pieceSizes(), ElementsAreArray(entry.pieces)) << entry.size;
        EXPECT_EQ(touch->image(), image);
        // The status is asked for even when there was nothing to send.
        EXPECT_EQ(touch->commands().back(), Commands::touchProgrammingStatus);
    }
}

TEST_F(FirmwareInstallersTest, TouchSucceedsOnlyWithStatusZero) {
    auto touch = driver("/dev/touch-dura", 1);
    Boot::TouchInstaller installer;
    EXPECT_EQ(run(installer, 2000), InstallStatus::failure);
    EXPECT_THAT(logLines(),
                ElementsAre("-- Begin Touch Update --", "Touch: Allocate buffer for firmware",
                            "Touch: Good touch firmware file crc", "Touch: Programming",
                            "-- Touch Update Complete -- Status 1"));
    EXPECT_THAT(ui.reports, ElementsAre(TestSupport::Report{20, "Begin Touch Update"},
                                        TestSupport::Report{40, "Updating Touch..."}));
}

TEST_F(FirmwareInstallersTest, PicQueriesFirstAndLogsTheStatusRequestsOwnResult) {
    auto pic = driver("/dev/io_interface", 5);
    Boot::PicInstaller installer;
    EXPECT_EQ(run(installer, 1500), InstallStatus::success);
    EXPECT_THAT(pic->commands(), ElementsAre(Commands::picQuery, Commands::firmwareData,
                                             Commands::programmingStatus));
    EXPECT_EQ(pic->requests().front().data.size(), 6U);
    EXPECT_EQ(pic->image(), image);
    EXPECT_THAT(logLines(),
                ElementsAre("-- Begin PIC Update --", "PIC: Allocate buffer for PIC binary",
                            "PIC: Good PIC file crc", "PIC: Programming PIC", "PicStatus is 0",
                            "-- PIC Update Complete --"));
}

TEST_F(FirmwareInstallersTest, IplAndBootstrapLogTheStatusWordAndSucceedWhateverItIs) {
    auto ipl = driver("/dev/iplctl", 7);
    Boot::IplInstaller iplInstaller;
    EXPECT_EQ(run(iplInstaller, 3000), InstallStatus::success);
    EXPECT_EQ(ipl->commands().back(), Commands::programmingStatus);

    Boot::BootStrapInstaller bootstrapInstaller;
    EXPECT_EQ(run(bootstrapInstaller, 3000, 2910247), InstallStatus::success);
    EXPECT_EQ(ipl->commands().back(), Commands::bootstrapProgrammingStatus);
    EXPECT_EQ(ipl->image(), image + image);
    EXPECT_THAT(logLines(),
                ElementsAre("-- Begin IPL Update --", "IPL: Allocate buffer for IPL binary",
                            "IPL: Good IPL file crc", "IPL: Programming QSPI-NOR",
                            "-- IPL Update Complete -- Status 7", "-- Begin Bootstrap Update --",
                            "Bootstrap: Allocate buffer for Bootstrap binary",
                            "Bootstrap: Good BootStrap file crc", "Bootstrap: Programming QSPI-NOR",
                            "-- Bootstrap Update Complete -- Status 7"));
}

TEST_F(FirmwareInstallersTest, OldBootstrapsAreRefusedOnlyOnHs400Units) {
    struct Case {
        const char* emmcDescription;  // null: no description file
        std::uint32_t version;
        InstallStatus expected;
    };
    const Case cases[] = {
        {"HS400-8GB", 2910246, InstallStatus::cannotDowngradeEmmcDriver},
        {"HS400", 2910247, InstallStatus::success},
        {"HS200", 2910246, InstallStatus::success},
        {"HS40", 2910246, InstallStatus::success},
        {nullptr, 1, InstallStatus::success},
    };
    for (const Case& entry : cases) {
        std::remove((root.path() + "/tmp/emmc.dat").c_str());
        if (entry.emmcDescription != nullptr) {
            root.writeFile("/tmp/emmc.dat", entry.emmcDescription);
        }
        auto ipl = driver("/dev/iplctl", 0);
        Boot::BootStrapInstaller installer;
        EXPECT_EQ(run(installer, 100, entry.version), entry.expected) << entry.version;
        EXPECT_EQ(ipl->requests().empty(),
                  entry.expected == InstallStatus::cannotDowngradeEmmcDriver);
    }
    EXPECT_EQ(logLines()[1], "Bootstrap: HS400 eMMC type, cannot downgrade bootstrap");
}

TEST_F(FirmwareInstallersTest, AMissingDriverFailsTheComponentWithItsLine) {
    struct Case {
        std::unique_ptr<Boot::ComponentInstallerBase> installer;
        const char* line;
    };
    Case cases[] = {
        {std::make_unique<Boot::TouchInstaller>(), "Touch: driver is not running"},
        {std::make_unique<Boot::PicInstaller>(), "PIC: I/O driver is not running"},
        {std::make_unique<Boot::IplInstaller>(), "IPL: iplctl driver is not running"},
        {std::make_unique<Boot::BootStrapInstaller>(), "Bootstrap: iplctl driver is not running"},
    };
    for (Case& entry : cases) {
        EXPECT_EQ(run(*entry.installer, 10, 2910247), InstallStatus::failure);
        EXPECT_EQ(logLines().back(), entry.line);
    }
}

}  // namespace
