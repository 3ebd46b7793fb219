#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ArchiveFixtures.h"
#include "TestSupport.h"
#include "boot/StartupSequence.h"

namespace {

using Boot::StartupSequence;
using TestSupport::TemporaryUnitRoot;

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

mode_t modeOf(const std::string& hostPath) {
    struct stat status {};
    EXPECT_EQ(stat(hostPath.c_str(), &status), 0) << hostPath;
    return status.st_mode & 07777;
}

TEST(StartupSequenceTest, PayloadsAreUnpackedIntoTmpOpenedUpAndTheirArchivesRemoved) {
    const TemporaryUnitRoot root;
    root.writeFile("/tmp/earlier", "left from before\n");
    chmod(root.path().c_str(), 0755);
    const std::string fileSystem = TestSupport::tarGz(
        {{.path = "screen", .contents = "a"},
         {.path = "shadow", .contents = "root:*:"},
         {.path = "graphics800x480.conf", .contents = "video-mode = 800 x 480 @ 60\n"}});
    const std::string utilities = TestSupport::tarGz({{.path = "VeldApp", .contents = "b"}});

    StartupSequence startup(1, bytesOf(fileSystem), bytesOf(utilities));
    startup.unpackPayloads();
    StartupSequence::openTemporaryFiles();

    EXPECT_EQ(root.readFile("/tmp/graphics800x480.conf"), "video-mode = 800 x 480 @ 60\n");
    for (const char* name : {"screen", "graphics800x480.conf", "VeldApp", "earlier"}) {
        EXPECT_EQ(modeOf(root.path() + "/tmp/" + name), 0777U) << name;
    }
    EXPECT_EQ(modeOf(root.path() + "/tmp/shadow"), 0600U);
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/tmp/ldrfs.tar.gz"));
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/tmp/utilities.tar.gz"));
    // The pass leaves the folder above /tmp (the unit's root) as it was.
    EXPECT_EQ(modeOf(root.path()), 0755U);
}

TEST(StartupSequenceTest, ADamagedPayloadStopsOnlyItsOwnExtraction) {
    const TemporaryUnitRoot root;
    std::filesystem::create_directories(root.path() + "/tmp");
    const std::string damaged = "this is no archive";
    const std::string utilities = TestSupport::tarGz({{.path = "VeldApp", .contents = "b"}});

    StartupSequence startup(1, bytesOf(damaged), bytesOf(utilities));
    startup.unpackPayloads();

    EXPECT_EQ(root.readFile("/tmp/VeldApp"), "b");
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/tmp/ldrfs.tar.gz"));
}

TEST(StartupSequenceTest, FeatureVariablesChooseTheDisplayConfigurationAndBacklight) {
    struct Case {
        const char* value;
        std::uint32_t number;
        const char* configuration;
        const char* backlight;
    };
    const std::string pwm = "pwm-mx -d clksrc=5 -b 0xe6e36000 -u 0 -p 0xe6060074 -o 22 -e 0";
    for (const Case& row : {
             Case{nullptr, 0, "/tmp/graphics800x480.conf", nullptr},
             Case{"1", 1, "/tmp/graphics1280x480.conf", "backlight-m2 -u 0"},
             Case{"2", 2, "/tmp/graphics1280x768.conf", "-S"},
             Case{"3", 3, "/tmp/graphics1920x720.conf", nullptr},
             Case{"3rd", 3, "/tmp/graphics1920x720.conf", nullptr},
             Case{"4", 4, "/tmp/graphics800x480.conf", nullptr},
             Case{"panel", 0, "/tmp/graphics800x480.conf", nullptr},
             Case{"99999999999", 0, "/tmp/graphics800x480.conf", nullptr},
         }) {
        const char* label = row.value != nullptr ? row.value : "(unset)";
        const std::uint32_t number = StartupSequence::featureNumber(row.value);
        EXPECT_EQ(number, row.number) << label;
        EXPECT_STREQ(StartupSequence::graphicsConfiguration(number), row.configuration) << label;
        const std::string command = StartupSequence::backlightCommand(number);
        if (row.backlight == nullptr) {
            EXPECT_EQ(command, pwm) << label;
        } else if (std::string(row.backlight) == "-S") {
            EXPECT_EQ(command, pwm + " -S") << label;
        } else {
            EXPECT_EQ(command, row.backlight) << label;
        }
    }
}

// A unit root whose name holds a blank, with a program beside it named like the root's first
// word: a command that cut a path at the blank would run it, or hand it to rm or cp. The platform
// tools that start-up runs come first on PATH as recorders, which write their name and each
// argument in brackets, one line per run.
class StartupSequenceBlankRootTest : public ::testing::Test {
protected:
    StartupSequenceBlankRootTest() {
        std::filesystem::create_directories(toolsFolder());
        installRecorder(besideRoot());
        for (const char* name : {"waitfor", "pwmdctl", "on", "sync", "devc-sercan",
                                 "devc-serscif485", "devb-mmcsd-rcarm2-trevanic-sdhi"}) {
            installRecorder(toolsFolder() + "/" + name);
        }
    }

    std::string toolsFolder() const { return root.folder() + "/bin"; }

    std::string besideRoot() const { return root.folder() + "/u"; }

    void installRecorder(const std::string& path) const {
        TestSupport::writeHostFile(
            path,
            "#!/bin/sh\n"
            "{ printf '%s' \"${0##*/}\"\n"
            "  for argument in \"$@\"; do printf ' [%s]' \"$argument\"; done\n"
            "  echo\n"
            "} >> \"" +
                recordPath() + "\"\n");
        chmod(path.c_str(), 0755);
    }

    // What the recorders wrote, with the unit root taken out; the record starts afresh.
    std::vector<std::string> takeRecord() const {
        std::vector<std::string> lines;
        std::istringstream record(TestSupport::readHostFile(recordPath()));
        for (std::string line; std::getline(record, line);) {
            for (auto at = line.find(root.path()); at != std::string::npos;
                 at = line.find(root.path())) {
                line.erase(at, root.path().size());
            }
            lines.push_back(line);
        }
        std::filesystem::remove(recordPath());
        return lines;
    }

    std::string recordPath() const { return root.folder() + "/record"; }

    const TemporaryUnitRoot root{"u p"};
    const TestSupport::PathPrefix toolsFirst{toolsFolder()};
};

TEST_F(StartupSequenceBlankRootTest, DriversAndWaitsGetTheirPathsWhole) {
    // Every board driver is up already but the SD card's, so only that one and the waits run.
    for (const char* device : {"/dev/i2c1", "/dev/i2c4", "/dev/i2c5", "/dev/spi0",
                               "/dev/touch-dura", "/dev/io_interface"}) {
        root.writeFile(device, "");
    }
    StartupSequence::bringUpBoards();
    StartupSequence testing(2, {}, {});
    testing.startLogoOrTestBacklight();
    EXPECT_THAT(
        takeRecord(),
        ::testing::ElementsAre(
            "waitfor [/dev/i2c1]", "waitfor [/dev/i2c4]", "waitfor [/dev/i2c5]",
            "waitfor [/dev/spi0]", "waitfor [/dev/touch-dura]", "waitfor [/dev/io_interface]",
            "devb-mmcsd-rcarm2-trevanic-sdhi [mmcsd] [channel=0] [disk] [name=sd] [blk] "
            "[cache=4M,automount=sd0t6:/mnt/sd,automount=sd0t11:/mnt/sd,"
            "automount=sd0t12:/mnt/sd]",
            "pwmdctl [-e] [-d] [100] [-p] [100] [/dev/pwm0]",
            "pwmdctl [-e] [-d] [100] [-p] [100] [/dev/pwm1]"));

    // The logo starts in the background: wait for it to write its whole line (the shell creates
    // the record before it writes to it).
    installRecorder(root.prepare("/fs/etfs/app/logo"));
    StartupSequence withLogo(1, {}, {});
    withLogo.startLogoOrTestBacklight();
    const auto lineWritten = [this] {
        return std::filesystem::exists(recordPath()) &&
               TestSupport::readHostFile(recordPath()).ends_with('\n');
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!lineWritten() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_THAT(takeRecord(), ::testing::ElementsAre("logo"));
    EXPECT_TRUE(std::filesystem::exists(besideRoot()));
}

TEST_F(StartupSequenceBlankRootTest, TheConsoleBranchesGetTheirPathsWhole) {
    // The host's own rm, cp and chmod do the file work: `removed` is gone afterwards, `copied`
    // arrived with mode 777.
    struct Case {
        const char* name;
        std::vector<const char*> markers;
        std::vector<std::string> expected;
        const char* removed;
        const char* copied;
    };
    const std::vector<Case> cases = {
        {"marker on the data partition",
         {"/fs/etfs/DvTest", "/fs/etfs/ProductionTest"},
         {"devc-sercan", "on [-t] [/dev/sercan1] [/bin/sh]"},
         "/fs/etfs/ProductionTest",
         nullptr},
        {"marker on the stick", {"/mnt/stick/DvTest"}, {"sync"}, nullptr, "/fs/etfs/DvTest"},
        {"no marker",
         {},
         {"devc-serscif485 [-e] [-F] [-u4] [-b38400] [-a] [0xE6050008] [-p] [12] [scif4]",
          "waitfor [/dev/rs4854]", "on [-t] [/dev/rs4854] [/bin/sh]"},
         nullptr,
         nullptr},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(root.path() + "/fs");
        std::filesystem::remove_all(root.path() + "/mnt");
        std::filesystem::create_directories(root.path() + "/fs/etfs");
        for (const char* marker : row.markers) {
            root.writeFile(marker, "#!/bin/sh\n");
        }
        StartupSequence::selectConsole();
        EXPECT_EQ(takeRecord(), row.expected);
        if (row.removed != nullptr) {
            EXPECT_FALSE(std::filesystem::exists(root.path() + row.removed));
        }
        if (row.copied != nullptr) {
            EXPECT_EQ(root.readFile(row.copied), "#!/bin/sh\n");
            EXPECT_EQ(modeOf(root.path() + row.copied), 0777U);
        }
        EXPECT_TRUE(std::filesystem::exists(besideRoot()));
    }
}

TEST(StartupSequenceTest, TheVersionVariableEndsWithALineFeed) {
    StartupSequence::setVersionVariables();
    EXPECT_STREQ(std::getenv("APPLICATION_VERSION"), "2.9.10543\n");
    EXPECT_STREQ(std::getenv("DEVICEFAMILY"), "M2");
}

}  // namespace
