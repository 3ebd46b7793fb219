#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>

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

TEST(StartupSequenceTest, TheVersionVariableEndsWithALineFeed) {
    StartupSequence::setVersionVariables();
    EXPECT_STREQ(std::getenv("APPLICATION_VERSION"), "2.9.10543\n");
    EXPECT_STREQ(std::getenv("DEVICEFAMILY"), "M2");
}

}  // namespace
