#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "CoreSystem/DisplayLayout.h"
#include "CoreSystem/InputEvent.h"
#include "UITestSupport.h"
#include "boot/ui/LoadingUIState.h"
#include "boot/ui/UIManager.h"
#include "platform/LocalNames.h"

namespace {

using Boot::UIManager;
using CoreSystem::DisplayLayout;
using CoreSystem::InputEvent;

InputEvent touch(std::uint32_t kind, int x, int y) {
    InputEvent event;
    event.type = InputEvent::typeTouch;
    event.touchKind = kind;
    event.x = x;
    event.y = y;
    return event;
}

InputEvent key(std::uint32_t state, std::uint32_t mask) {
    InputEvent event;
    event.type = InputEvent::typeKey;
    event.keyState = state;
    event.keyMask = mask;
    return event;
}

// Key 1 (0, 20, 32), key 2 (740, 20, 8192), key 3 (740, 255, 1024), key 4 (740, 160, 2048).
const DisplayLayout layoutOne{
    800, 480, {{{0, 20, 32}, {740, 20, 8192}, {740, 255, 1024}, {740, 160, 2048}}}};
// Every soft key on the same spot and with the same mask, to see which one wins.
const DisplayLayout stacked{
    800, 480, {{{100, 100, 7}, {100, 100, 7}, {100, 100, 7}, {100, 100, 7}}}};
DisplayLayout withoutKeys(const DisplayLayout& layout, std::initializer_list<int> buttons) {
    DisplayLayout result = layout;
    for (const int button : buttons) {
        result.keys.at(static_cast<std::size_t>(button - 1)) = {-1000, -1000, 0};
    }
    return result;
}

struct MappingCase {
    const char* what;
    InputEvent event;
    DisplayLayout layout;
    int button;
};

TEST(ButtonMapping, MapsTouchReleasesAndKeyReleasesToSoftKeys) {
    constexpr std::uint32_t release = InputEvent::touchRelease;
    const std::vector<MappingCase> cases{
        {"touch on the icon", touch(release, 30, 50), layoutOne, 1},
        {"lower-left corner of the square", touch(release, -10, 10), layoutOne, 1},
        {"upper-right corner of the square", touch(release, 70, 90), layoutOne, 1},
        {"just right of the square", touch(release, 71, 20), layoutOne, 0},
        {"just above the square", touch(release, 0, 91), layoutOne, 0},
        {"key 3's icon", touch(release, 770, 285), layoutOne, 3},
        {"key 4's icon", touch(release, 770, 190), layoutOne, 4},
        {"touch press", touch(InputEvent::touchPress, 30, 50), layoutOne, 0},
        {"touch move", touch(InputEvent::touchMove, 30, 50), layoutOne, 0},
        {"key 1 beats the others", touch(release, 130, 130), stacked, 1},
        {"key 2 beats keys 4 and 3", touch(release, 130, 130), withoutKeys(stacked, {1}), 2},
        {"key 4 beats key 3", touch(release, 130, 130), withoutKeys(stacked, {1, 2}), 4},
        {"key 3 alone", touch(release, 130, 130), withoutKeys(stacked, {1, 2, 4}), 3},
        {"release of key 2's mask", key(InputEvent::keyRelease, 8192), layoutOne, 2},
        {"release of key 3's mask", key(InputEvent::keyRelease, 1024), layoutOne, 3},
        {"press of a known mask", key(InputEvent::keyPress, 8192), layoutOne, 0},
        {"multi-key event", key(InputEvent::keyMultiKey, 8192), layoutOne, 0},
        {"release of an unknown mask", key(InputEvent::keyRelease, 8), layoutOne, 0},
        {"same mask: key 4 beats key 3", key(InputEvent::keyRelease, 7),
         withoutKeys(stacked, {1, 2}), 4},
        {"no event", InputEvent{}, layoutOne, 0},
    };
    for (const MappingCase& testCase : cases) {
        EXPECT_EQ(UIManager::buttonFor(testCase.event, testCase.layout), testCase.button)
            << testCase.what;
    }
}

class UIManagerTest : public TestSupport::UITest {};

TEST_F(UIManagerTest, UnknownLayoutKeepsItsIdButHasNoSoftKeys) {
    ui->setLayout(5);
    EXPECT_EQ(ui->layoutId(), 5);
    for (const CoreSystem::SoftKey& softKey : ui->activeLayout().keys) {
        EXPECT_EQ(softKey.x, -1000);
        EXPECT_EQ(softKey.y, -1000);
        EXPECT_EQ(softKey.keyMask, 0U);
    }
    // Where layout 2 has key 2, and its key mask: neither counts now.
    ui->inputQueue().processTouch(touch(InputEvent::touchRelease, 770, 95));
    EXPECT_EQ(ui->pollButton(), 0);
    EXPECT_EQ(UIManager::buttonFor(key(InputEvent::keyRelease, 0), ui->activeLayout()), 0);
}

TEST_F(UIManagerTest, LayoutsFollowTheDisplayType) {
    ui->setLayout(10);
    EXPECT_EQ(ui->activeLayout().width, 1280);
    EXPECT_EQ(ui->activeLayout().keys[1].x, 1220);
    ui->setLayout(12);
    EXPECT_EQ(ui->activeLayout().keys[2].x, 587);
    EXPECT_EQ(ui->activeLayout().keys[3].keyMask, 64U);
}

TEST_F(UIManagerTest, ModeKeepsOneOrTwoAndResetsLargerValues) {
    struct ModeCase {
        int given;
        int stored;
    };
    for (const ModeCase& testCase : {ModeCase{2, 2}, ModeCase{0, 2}, ModeCase{-4, 2},
                                     ModeCase{1, 1}, ModeCase{3, 0}, ModeCase{-1, 0}}) {
        ui->setMode(testCase.given);
        EXPECT_EQ(ui->mode(), testCase.stored) << "after setMode(" << testCase.given << ")";
    }
}

TEST_F(UIManagerTest, IdentityTextsShowVersionsAndUnitNumbers) {
    unsetenv("BOOTSTRAP_VERSION");
    auto lines = UIManager::identityTexts();
    EXPECT_EQ(lines[0], "Bootloader Version: 2.9.10543");
    EXPECT_EQ(lines[1], "Bootstrap Version: 0.0.0");
    // This unit root has no factory data, so neither number is known.
    EXPECT_EQ(lines[2], "Part Number: 0");
    EXPECT_EQ(lines[3], "Serial Number: 0");
    setenv("BOOTSTRAP_VERSION", "1.4.7", 1);
    EXPECT_EQ(UIManager::identityTexts()[1], "Bootstrap Version: 1.4.7");
    unsetenv("BOOTSTRAP_VERSION");
}

TEST_F(UIManagerTest, StopsTheBootLogoOnceAfterTheFirstFrame) {
    const std::string stopLogo = Platform::LocalNames::hostPathOf("stoplogo");
    EXPECT_FALSE(std::filesystem::exists(stopLogo));
    ui->showWaitScreen();
    EXPECT_TRUE(std::filesystem::exists(stopLogo));
    std::filesystem::remove(stopLogo);
    ui->showWaitScreen();
    EXPECT_FALSE(std::filesystem::exists(stopLogo));
}

TEST_F(UIManagerTest, PollButtonActsOnTheKeyRelease) {
    // Key 3 of layout 2 pressed and let go: the release comes out first and is button 3.
    ui->inputQueue().processKeyMask(1024);
    ui->inputQueue().processKeyMask(0);
    EXPECT_EQ(ui->pollButton(), UIManager::upButton);
    EXPECT_EQ(ui->pollButton(), 0);
    EXPECT_EQ(ui->pollButton(), 0);
}

TEST_F(UIManagerTest, WaitButtonSkipsEventsThatAreNoButton) {
    ui->inputQueue().processTouch(touch(InputEvent::touchRelease, 400, 400));
    pressButton(UIManager::downButton);
    EXPECT_EQ(ui->waitButton(), UIManager::downButton);
}

const std::vector<Boot::PackageEntry> threePackages{
    {"first.kx1", "/stick/first.kx1"},
    {"second.kx1", "/stick/second.kx1"},
    {"third.kx1", "/stick/third.kx1"},
};

TEST_F(UIManagerTest, SelectionInstallsTheChosenPackage) {
    owner.result = Boot::InstallStatus::corruptedTarFile;
    // Next entry, confirm, back to the same entry, confirm, install.
    pressButtons({4, 2, 1, 2, 2});
    ui->runFileSelection(threePackages);
    EXPECT_EQ(owner.installedPaths, std::vector<std::string>{"/stick/second.kx1"});
    EXPECT_EQ(ui->installStatus(), 304U);
}

TEST_F(UIManagerTest, CancelledSelectionInstallsNothingAndReportsSuccess) {
    pressButtons({4, 1});
    ui->runFileSelection(threePackages);
    EXPECT_TRUE(owner.installedPaths.empty());
    EXPECT_EQ(ui->installStatus(), 1U);
}

TEST_F(UIManagerTest, EmptySelectionDrawsAndInstallsNothing) {
    pressButtons({4, 3, 2, 2});
    ui->runFileSelection({});
    EXPECT_TRUE(owner.installedPaths.empty());
    EXPECT_EQ(ui->installStatus(), 0U);
}

TEST_F(UIManagerTest, DirectInstallTakesTheFirstEntryAndAsksForThePassword) {
    owner.asksForPassword = true;
    // On the keypad: digit 1, digit 2, then up twice to the enter key.
    pressButtons({2, 4, 2, 3, 3, 2});
    ui->runDirectInstall(threePackages);
    EXPECT_EQ(owner.installedPaths, std::vector<std::string>{"/stick/first.kx1"});
    EXPECT_EQ(owner.passwords, std::vector<std::string>{"12"});
    EXPECT_EQ(ui->installStatus(), 1U);
}

}  // namespace

TEST_F(UIManagerTest, ProgressDrawsNewTextAtOnceAndAMovingBarAtMostTenTimesASecond) {
    const std::string captures = root.path() + "/captures";
    std::filesystem::create_directories(captures);
    setenv(Platform::ScreenWindow::captureDirectoryVariable, captures.c_str(), 1);
    ui.reset();
    ui = std::make_unique<UIManager>(&owner);
    unsetenv(Platform::ScreenWindow::captureDirectoryVariable);
    const auto frames = [&captures] {
        return std::distance(std::filesystem::directory_iterator(captures),
                             std::filesystem::directory_iterator());
    };
    ui->runDirectInstall({});
    const auto first = frames();
    const auto* loading = dynamic_cast<Boot::LoadingUIState*>(ui->currentState());
    ASSERT_NE(loading, nullptr);

    ui->reportProgress(1, "Verifying");  // new text: drawn
    ui->reportProgress(2, "Verifying");  // bar moved within the interval: kept for later
    ui->reportProgress(3, "Verifying");
    EXPECT_EQ(frames(), first + 1);
    EXPECT_EQ(loading->progress(), 3);

    clock.advance(UIManager::progressFrameInterval);
    ui->reportProgress(3, "Verifying");  // interval over: the bar catches up
    ui->reportProgress(3, "Verifying");  // what is shown already: not drawn again
    ui->reportProgress(4, "Verifying");  // within the new interval: kept
    EXPECT_EQ(frames(), first + 2);
    ui->reportProgress(5, "Installing Application");  // new text: drawn at once
    EXPECT_EQ(frames(), first + 3);
}
