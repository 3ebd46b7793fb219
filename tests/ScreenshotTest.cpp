#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ScreenshotCompare.h"
#include "UITestSupport.h"
#include "assets/UiAssets.h"
#include "boot/ui/ConfirmUIState.h"
#include "boot/ui/ImageCatalogue.h"
#include "boot/ui/InteractiveUIState.h"
#include "boot/ui/LoadingUIState.h"
#include "boot/ui/UIManager.h"

namespace {

using Boot::UIManager;
using TestSupport::captureWindow;
using TestSupport::matchesReference;
using TestSupport::Screenshot;

const std::vector<Boot::PackageEntry> packages{
    {"loader-2.9.10543.kx1", "/stick/loader-2.9.10543.kx1"},
    {"application-5.1.2.kx1", "/stick/application-5.1.2.kx1"},
};

// Screens at 800 x 480 under layout 2 (soft keys at the left and right edges).
class ScreenshotTest : public TestSupport::UITest {
protected:
    ScreenshotTest() { unsetenv("BOOTSTRAP_VERSION"); }

    Screenshot screen() { return captureWindow(ui->window()); }
    Screenshot loadingAt(int percent) {
        Boot::LoadingUIState loading(*ui);
        loading.updateProgress(percent, "Installing Application");
        ui->render(loading);
        return screen();
    }
    // The keypad entry after these buttons, as drawn when the entry ends.
    Screenshot passwordEntryAfter(const std::vector<int>& buttons) {
        Boot::LoadingUIState loading(*ui);
        pressButtons(buttons);
        loading.getPassword();
        return screen();
    }
};

// Keypad buttons that type `digits` and then press enter.
std::vector<int> typing(const std::string& digits) {
    std::vector<int> buttons;
    int selected = 0;
    auto moveTo = [&](int key) {
        for (; selected != key; selected = (selected + 1) % 11) {
            buttons.push_back(UIManager::downButton);
        }
    };
    for (const char digit : digits) {
        moveTo(digit == '0' ? 9 : digit - '1');
        buttons.push_back(UIManager::selectButton);
    }
    moveTo(10);
    buttons.push_back(UIManager::selectButton);
    return buttons;
}

TEST_F(ScreenshotTest, WaitScreen) {
    ui->showWaitScreen();
    EXPECT_TRUE(matchesReference(screen(), "wait"));
}

TEST_F(ScreenshotTest, SelectionAndConfirmScreens) {
    ui->setPackages(packages);
    ui->setSelectedIndex(1);
    Boot::InteractiveUIState selection(*ui);
    ui->render(selection);
    EXPECT_TRUE(matchesReference(screen(), "selection"));
    Boot::ConfirmUIState confirm(*ui);
    ui->render(confirm);
    EXPECT_TRUE(matchesReference(screen(), "confirm"));
}

TEST_F(ScreenshotTest, LoadingScreens) {
    EXPECT_TRUE(matchesReference(loadingAt(0), "loading-0"));
    EXPECT_TRUE(matchesReference(loadingAt(50), "loading-50"));
}

TEST_F(ScreenshotTest, PasswordScreens) {
    EXPECT_TRUE(matchesReference(passwordEntryAfter({UIManager::cancelButton}), "password-empty"));
    EXPECT_TRUE(
        matchesReference(passwordEntryAfter(typing("4711081547110815")), "password-16-digits"));
}

TEST_F(ScreenshotTest, ResultScreens) {
    ui->setInstallStatus(1);
    ui->showResultScreen();
    EXPECT_TRUE(matchesReference(screen(), "result-1"));
    ui->setInstallStatus(309);
    ui->showResultScreen();
    EXPECT_TRUE(matchesReference(screen(), "result-309"));
}

TEST_F(ScreenshotTest, ProgressBarAtFiftyPercentIs166PixelsLong) {
    const Screenshot empty = loadingAt(0);
    const Screenshot half = loadingAt(50);
    // Along the bar's middle row, only the bar differs from the empty frame.
    const int row = 240;
    std::vector<int> changed;
    for (int x = 0; x < half.width; ++x) {
        if (half.pixelYUp(x, row) != empty.pixelYUp(x, row)) {
            changed.push_back(x);
        }
    }
    ASSERT_FALSE(changed.empty());
    EXPECT_EQ(changed.front(), 400 - 145);
    EXPECT_EQ(changed.back(), 400 - 145 + 165);
    EXPECT_EQ(changed.size(), 166U);
    EXPECT_EQ(half.pixelYUp(300, row), (std::array<std::uint8_t, 4>{255, 0, 0, 255}));
}

// Whether the opaque middle of catalogue image `index` appears with its lower-left corner at
// (x, y).
::testing::AssertionResult showsImageAt(const Screenshot& screenshot, int index, int x, int y) {
    const auto bitmap = Boot::ImageCatalogue::decode(Assets::catalogueImage(index));
    if (!bitmap) {
        return ::testing::AssertionFailure() << "image " << index << " does not decode";
    }
    int compared = 0;
    for (int row = bitmap->height / 3; row < 2 * bitmap->height / 3; ++row) {
        for (int column = bitmap->width / 3; column < 2 * bitmap->width / 3; ++column) {
            const std::size_t offset =
                (static_cast<std::size_t>(row) * static_cast<std::size_t>(bitmap->width) +
                 static_cast<std::size_t>(column)) *
                4;
            if (bitmap->pixels[offset + 3] != 255) {
                continue;
            }
            const auto shown = screenshot.pixelYUp(x + column, y + bitmap->height - 1 - row);
            // BGRA in the bitmap, RGBA on the screen.
            for (std::size_t channel = 0; channel < 3; ++channel) {
                if (std::abs(shown.at(channel) - bitmap->pixels[offset + 2 - channel]) > 8) {
                    return ::testing::AssertionFailure()
                           << "image " << index << " pixel (" << column << ", " << row
                           << ") differs at (" << x << ", " << y << ")";
                }
            }
            ++compared;
        }
    }
    if (compared == 0) {
        return ::testing::AssertionFailure() << "image " << index << " has no opaque middle";
    }
    return ::testing::AssertionSuccess();
}

TEST_F(ScreenshotTest, SoftKeyIconsSitAtTheLayoutPositions) {
    for (const int layout : {1, 2, 3, 12}) {
        ui->setLayout(layout);
        ui->setPackages(packages);
        Boot::InteractiveUIState selection(*ui);
        ui->render(selection);
        const Screenshot shot = screen();
        const auto& keys = ui->activeLayout().keys;
        EXPECT_TRUE(showsImageAt(shot, UIManager::cancelIcon, keys[0].x, keys[0].y)) << layout;
        EXPECT_TRUE(showsImageAt(shot, UIManager::selectIcon, keys[1].x, keys[1].y)) << layout;
        EXPECT_TRUE(showsImageAt(shot, UIManager::upIcon, keys[2].x, keys[2].y)) << layout;
        EXPECT_TRUE(showsImageAt(shot, UIManager::downIcon, keys[3].x, keys[3].y)) << layout;
    }
}

TEST_F(ScreenshotTest, KeypadHighlightFramesTheSelectedKey) {
    const std::array<std::uint8_t, 4> highlight{200, 0, 0, 255};
    auto nearHighlight = [&](const std::array<std::uint8_t, 4>& pixel) {
        return std::abs(pixel[0] - highlight[0]) <= 8 && pixel[1] <= 8 && pixel[2] <= 8;
    };
    // Down four times selects digit 5; cancel leaves the empty entry.
    const Screenshot shot = passwordEntryAfter({4, 4, 4, 4, 1});
    const Boot::LoadingUIState reference(*ui);
    for (int index = 0; index < Boot::LoadingUIState::keypadKeyCount; ++index) {
        const auto& key = reference.keypadKey(index);
        const bool framed = nearHighlight(shot.pixelYUp(key.x + key.width / 2, key.y + key.height));
        EXPECT_EQ(framed, index == 4) << "keypad key " << index;
    }
}

class WideScreenshotTest : public TestSupport::UITest {
protected:
    WideScreenshotTest() : UITest(1280, 480, 10) { unsetenv("BOOTSTRAP_VERSION"); }
};

TEST_F(WideScreenshotTest, StretchesTheBackgroundOverTheWideDisplay) {
    ui->setPackages(packages);
    Boot::InteractiveUIState selection(*ui);
    ui->render(selection);
    EXPECT_TRUE(matchesReference(captureWindow(ui->window()), "selection-1280x480"));
}

TEST_F(WideScreenshotTest, BeyondTheBackgroundAtItsOwnSizeTheScreenIsWhite) {
    ui->setPackages(packages);
    Boot::InteractiveUIState selection(*ui);
    ui->render(selection);  // the stretched background over the whole window
    ui->setLayout(2);       // the background at its own size, 800 wide
    ui->render(selection);
    const Screenshot shot = captureWindow(ui->window());
    const std::array<std::uint8_t, 4> white{255, 255, 255, 255};
    EXPECT_EQ(shot.pixelYUp(1000, 240), white);
    EXPECT_EQ(shot.pixelYUp(1279, 0), white);
    EXPECT_EQ(shot.pixelYUp(800, 479), white);
    EXPECT_NE(shot.pixelYUp(799, 479), white);
}

}  // namespace
