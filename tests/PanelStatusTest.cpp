#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boot/PackageFormat.h"
#include "sim/unitsim/panel/InstallLogSummary.h"
#include "sim/unitsim/panel/PackageProgress.h"

namespace {

using Sim::Unitsim::InstallLogSummary;
using Sim::Unitsim::PackageProgress;
using Phase = InstallLogSummary::Phase;

constexpr const char* checksPassed =
    "Loaded install package\r\nHardware Family is compatible\r\nPart number exists\r\n"
    "Serial number exists\r\nValid package signature\r\n"
    "Install package is not password protected\r\nValid component data\r\n";

TEST(InstallLogSummaryTest, FollowsTheInstallFromItsLog) {
    struct Case {
        std::string log;
        Phase phase;
        std::optional<std::uint32_t> component;
        std::string lastLine;
    };
    const std::string checks = checksPassed;
    const std::vector<Case> cases = {
        {"", Phase::none, std::nullopt, ""},
        {"Loaded install package\r\nHardware Family is compatible\r\n", Phase::checking,
         std::nullopt, "Hardware Family is compatible"},
        {"Loaded install package\r\nInstall package is password protected\r\n", Phase::checking,
         std::nullopt, "Install package is password protected"},
        {checks, Phase::installing, std::nullopt, "Valid component data"},
        {checks + "Install: Component Type: 4\r\n-- Begin Application Update --\r\n",
         Phase::installing, 4U, "-- Begin Application Update --"},
        {checks + "Install: Component Type: 4\r\nInstall Result: Component 4 status 1\r\n"
                  "Install: Component Type: 6\r\n",
         Phase::installing, 6U, "Install: Component Type: 6"},
        {checks + "Install: Component Type: 4\r\nInstall Result: Component 4 status 1\r\n"
                  "Installation successful\r\n",
         Phase::succeeded, std::nullopt, "Installation successful"},
        {checks + "Install: Component Type: 4\r\nInstall Result: Component 4 status 304\r\n",
         Phase::failed, std::nullopt, "Install Result: Component 4 status 304"},
        {checks + "Install: Error: 307 Unrecognized Component Type: 99\r\n", Phase::failed,
         std::nullopt, "Install: Error: 307 Unrecognized Component Type: 99"},
        {"Failed to load install package\r\n", Phase::failed, std::nullopt,
         "Failed to load install package"},
        {"Loaded install package\r\nPassword rejected\r\n", Phase::failed, std::nullopt,
         "Password rejected"},
        // A line still being written does not count yet.
        {"Loaded install package\r\nInstallation succ", Phase::checking, std::nullopt,
         "Loaded install package"},
    };
    for (const Case& each : cases) {
        const InstallLogSummary summary = InstallLogSummary::read(each.log);
        EXPECT_EQ(summary.phase, each.phase) << each.log;
        EXPECT_EQ(summary.componentType, each.component) << each.log;
        EXPECT_EQ(summary.lastLine, each.lastLine) << each.log;
    }
}

Boot::ComponentEntry entry(std::uint32_t type, std::uint64_t offset, std::uint64_t size) {
    Boot::ComponentEntry made;
    made.type = type;
    made.offset = offset;
    made.size = size;
    return made;
}

TEST(PackageProgressTest, WeighsTheReadPositionLikeTheProgressBar) {
    // Application 300, a type that installs nothing (13) 100, touch 600 bytes: shares of 30, 10
    // and 60 percent, the middle one not on the bar, as in the install sequence.
    const std::vector<Boot::ComponentEntry> entries = {entry(4, 1000, 300), entry(13, 1300, 100),
                                                       entry(9, 1400, 600)};
    EXPECT_EQ(PackageProgress::checkingPercent(entries, 0), 0);
    EXPECT_EQ(PackageProgress::checkingPercent(entries, 1150), 15);
    EXPECT_EQ(PackageProgress::checkingPercent(entries, 2000), 100);
    EXPECT_EQ(PackageProgress::checkingPercent(entries, 5000), 100);

    EXPECT_EQ(PackageProgress::installingPercent(entries, 4, 1000), 0);
    EXPECT_EQ(PackageProgress::installingPercent(entries, 4, 1150), 15);
    EXPECT_EQ(PackageProgress::installingPercent(entries, 9, 1400), 30);
    EXPECT_EQ(PackageProgress::installingPercent(entries, 9, 1700), 60);
    // Read ahead past the component's end, the bar stops at its share's end.
    EXPECT_EQ(PackageProgress::installingPercent(entries, 9, 4096), 90);
    EXPECT_EQ(PackageProgress::checkingPercent({}, 100), 0);
    EXPECT_EQ(PackageProgress::installingPercent({entry(4, 664, 0)}, 4, 664), 0);
}

TEST(PackageProgressTest, PicksTheLatestComponentOfItsTypeThatHasBegun) {
    const std::vector<Boot::ComponentEntry> entries = {entry(7, 1000, 500), entry(7, 1500, 500)};
    EXPECT_EQ(PackageProgress::installingPercent(entries, 7, 1250), 25);
    EXPECT_EQ(PackageProgress::installingPercent(entries, 7, 1750), 75);
}

}  // namespace
