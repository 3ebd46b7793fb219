#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "CoreSystem/HardwareManager.h"
#include "UITestSupport.h"
#include "boot/ui/ConfirmUIState.h"
#include "boot/ui/FormatUIState.h"
#include "boot/ui/InteractiveUIState.h"
#include "boot/ui/LoadingUIState.h"
#include "boot/ui/ResultUIState.h"
#include "boot/ui/UIManager.h"
#include "boot/ui/WaitUIState.h"

namespace {

using Boot::StateChange;
using Boot::UIManager;
using Kind = Boot::StateChange::Kind;

class ScreensTest : public TestSupport::UITest {
protected:
    ScreensTest() {
        ui->setPackages({{"first.kx1", "/stick/first.kx1"},
                         {"second.kx1", "/stick/second.kx1"},
                         {"third.kx1", "/stick/third.kx1"}});
    }
};

TEST_F(ScreensTest, SelectionMovesWithoutWrapping) {
    struct MoveCase {
        std::vector<int> buttons;
        int selected;
    };
    const std::vector<MoveCase> cases{
        {{4}, 1}, {{4, 4, 4, 4, 4}, 2}, {{4, 4, 4, 4, 4, 3, 3, 3, 3, 3}, 0},
        {{3}, 0}, {{4, 4, 3}, 1},
    };
    for (const MoveCase& testCase : cases) {
        ui->setSelectedIndex(0);
        Boot::InteractiveUIState selection(*ui);
        for (const int button : testCase.buttons) {
            EXPECT_EQ(selection.handleButton(button).kind(), Kind::stay);
        }
        EXPECT_EQ(ui->selectedIndex(), testCase.selected);
    }
}

TEST_F(ScreensTest, SelectionLeadsToConfirmOrEnds) {
    Boot::InteractiveUIState selection(*ui);
    StateChange select = selection.handleButton(UIManager::selectButton);
    ASSERT_EQ(select.kind(), Kind::change);
    EXPECT_NE(dynamic_cast<Boot::ConfirmUIState*>(select.next()), nullptr);
    EXPECT_EQ(selection.handleButton(UIManager::cancelButton).kind(), Kind::leave);
    EXPECT_EQ(selection.handleButton(0).kind(), Kind::stay);
    EXPECT_EQ(selection.handleButton(7).kind(), Kind::stay);
}

TEST_F(ScreensTest, ConfirmGoesBackToTheSameEntryOrInstalls) {
    ui->setSelectedIndex(2);
    Boot::ConfirmUIState confirm(*ui);
    StateChange back = confirm.handleButton(UIManager::cancelButton);
    ASSERT_EQ(back.kind(), Kind::change);
    EXPECT_NE(dynamic_cast<Boot::InteractiveUIState*>(back.next()), nullptr);
    EXPECT_EQ(ui->selectedIndex(), 2);
    for (const int button : {UIManager::selectButton, UIManager::upButton}) {
        StateChange install = confirm.handleButton(button);
        ASSERT_EQ(install.kind(), Kind::change);
        EXPECT_NE(dynamic_cast<Boot::LoadingUIState*>(install.next()), nullptr);
    }
    EXPECT_EQ(confirm.handleButton(UIManager::downButton).kind(), Kind::stay);
}

TEST_F(ScreensTest, WorkingScreensLeaveOnEveryButton) {
    Boot::LoadingUIState loading(*ui);
    Boot::ResultUIState result(*ui);
    Boot::FormatUIState format(*ui);
    for (const int button : {0, 1, 2, 3, 4}) {
        EXPECT_EQ(loading.handleButton(button).kind(), Kind::leave);
        EXPECT_EQ(result.handleButton(button).kind(), Kind::leave);
        EXPECT_EQ(format.handleButton(button).kind(), Kind::leave);
    }
}

TEST_F(ScreensTest, CancelOnTheWaitScreenTurnsTheUnitOff) {
    setenv("DEVICEFAMILY", "M2", 1);
    CoreSystem::Hardware::Manager::resetCachedState();
    Boot::WaitUIState wait(*ui);
    const std::string systemLog = "/var/log/slog";
    for (const int button : {0, 2, 3, 4}) {
        EXPECT_EQ(wait.handleButton(button).kind(), Kind::leave);
    }
    EXPECT_FALSE(std::filesystem::exists(root.path() + systemLog));
    EXPECT_EQ(wait.handleButton(UIManager::cancelButton).kind(), Kind::leave);
    EXPECT_NE(root.readFile(systemLog).find("HardwareManager: Shutdown M2"), std::string::npos);
    unsetenv("DEVICEFAMILY");
    CoreSystem::Hardware::Manager::resetCachedState();
}

TEST_F(ScreensTest, PasswordEntryFollowsTheKeypad) {
    struct PasswordCase {
        const char* what;
        std::vector<int> buttons;
        std::string password;
        int selectedKey;
    };
    const std::vector<PasswordCase> cases{
        {"enter with no digits", {3, 2}, "", 10},
        {"cancel with no digits", {1}, "", 0},
        {"up from digit 1 wraps to enter, down wraps back", {3, 4, 2, 3, 2}, "1", 10},
        {"digits 1 and 2", {2, 4, 2, 3, 3, 2}, "12", 10},
        {"delete the last digit", {2, 4, 2, 1, 4, 2, 3, 3, 3, 2}, "13", 10},
        {"cancel deletes before it leaves", {2, 2, 1, 1, 1}, "", 0},
        {"digit 0 is after 9", {4, 4, 4, 4, 4, 4, 4, 4, 4, 2, 4, 2}, "0", 10},
        {"at most 16 digits",
         {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 2},
         "1111111111111111",
         10},
    };
    for (const PasswordCase& testCase : cases) {
        Boot::LoadingUIState loading(*ui);
        pressButtons(testCase.buttons);
        EXPECT_EQ(loading.getPassword(), testCase.password) << testCase.what;
        EXPECT_EQ(loading.selectedKey(), testCase.selectedKey) << testCase.what;
        EXPECT_FALSE(loading.passwordMode()) << testCase.what;
    }
}

TEST_F(ScreensTest, SecondPasswordRequestStartsFromTheFirstEntry) {
    Boot::LoadingUIState loading(*ui);
    pressButtons({2, 3, 2});
    EXPECT_EQ(loading.getPassword(), "1");
    // The enter key is still selected.
    pressButtons({2});
    EXPECT_EQ(loading.getPassword(), "1");
}

TEST_F(ScreensTest, PasswordPromptShowsACursorUntilSixteenDigits) {
    Boot::LoadingUIState loading(*ui);
    EXPECT_EQ(loading.passwordPrompt(), "Enter password: _");
    pressButtons({2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 2});
    loading.getPassword();
    EXPECT_EQ(loading.passwordPrompt(), "Enter password: 1111111111111111");
    EXPECT_EQ(loading.passwordPrompt().size(), 32U);
}

TEST(ProgressBar, LengthIsThreePointThreeThreePixelsPerPercentTruncated) {
    struct BarCase {
        int percent;
        int length;
    };
    for (const BarCase& testCase :
         {BarCase{0, 0}, BarCase{1, 3}, BarCase{3, 9}, BarCase{50, 166}, BarCase{100, 333}}) {
        EXPECT_EQ(Boot::LoadingUIState::barLength(testCase.percent), testCase.length)
            << testCase.percent << " %";
    }
}

TEST(ResultTexts, NameEveryInstallStatus) {
    struct TextCase {
        std::uint32_t status;
        const char* text;
    };
    for (const TextCase& testCase : {
             TextCase{0, "Error"},
             TextCase{1, "Success"},
             TextCase{301, "Invalid File"},
             TextCase{302, "Unsecured File On Secured Unit"},
             TextCase{303, "Part Number Match Failed"},
             TextCase{304, "Corrupted TAR File"},
             TextCase{307, "Invalid Component Type"},
             TextCase{309, "Password Incorrect"},
             TextCase{402, "Hardware Family Mismatch"},
             TextCase{403, "Missing Part Number"},
             TextCase{404, "Missing Serial Number"},
             TextCase{405, "Cannot do Config only Backgrade"},
             TextCase{406, "Cannot Downgrade eMMC Driver"},
             TextCase{305, "Unknown Status Code"},
             TextCase{0xFFFFFFFF, "Unknown Status Code"},
         }) {
        EXPECT_EQ(Boot::ResultUIState::textForStatus(testCase.status), testCase.text)
            << testCase.status;
    }
}

TEST_F(ScreensTest, ResultCountsDownFiveSecondsInFakeTime) {
    ui->setInstallStatus(309);
    const auto sleptBefore = clock.slept();
    EXPECT_EQ(ui->showResultScreen(), 0);
    const auto* result = dynamic_cast<Boot::ResultUIState*>(ui->currentState());
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->statusText(), "Password Incorrect");
    EXPECT_EQ(result->countdownText(), "Rebooting in 1 Seconds...");
    EXPECT_EQ(clock.slept() - sleptBefore, std::chrono::seconds(5));
}

}  // namespace
