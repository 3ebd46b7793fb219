#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CoreSystem/DisplayLayout.h"
#include "CoreSystem/InputEvent.h"
#include "CoreSystem/M2InputQueue.h"
#include "boot/InstallUserInterface.h"
#include "boot/ui/ImageCatalogue.h"
#include "boot/ui/Renderer.h"
#include "platform/Clock.h"
#include "platform/ScreenWindow.h"

namespace Boot {

class UIOwner;
class UIState;

// One package offered for selection or installation.
struct PackageEntry {
    std::string displayName;
    std::string path;  // host path
};

// Everything the loader shows: the window and its renderer, the images and the font, the display
// layouts with their soft keys, the key and touch input, and the current screen. All of it runs
// on the controller's thread; only the input queue is filled by its reader threads.
class UIManager final : public InstallUserInterface {
public:
    // Buttons: what the four soft keys mean on every screen.
    static constexpr int noButton = 0;
    static constexpr int cancelButton = 1;
    static constexpr int selectButton = 2;
    static constexpr int upButton = 3;
    static constexpr int downButton = 4;

    // Catalogue indices the screens use.
    static constexpr int backgroundImage = 0;
    static constexpr int selectIcon = 1;
    static constexpr int cancelIcon = 2;
    static constexpr int upIcon = 3;
    static constexpr int downIcon = 4;
    static constexpr int enterIcon = 5;
    static constexpr int usbIllustration = 6;
    static constexpr int progressFrame = 7;
    static constexpr int errorFolder = 8;
    static constexpr int successMark = 11;
    static constexpr int keypadImage = 12;

    // The shortest time between two frames that only move the progress bar.
    static constexpr std::chrono::milliseconds progressFrameInterval{100};

    // Creates the window and starts the key and touch readers.
    explicit UIManager(UIOwner* owner);
    ~UIManager() override;

    // Selects the layout of a display type; an unknown id behaves as layout 0 (no soft keys).
    void setLayout(int id);
    void setMode(int mode);
    int layoutId() const { return layoutId_; }
    const CoreSystem::DisplayLayout& activeLayout() const { return activeLayout_; }
    int mode() const { return mode_; }

    int showWaitScreen();
    int showFormatScreen();
    int showResultScreen();
    UIState* currentState() const { return currentState_.get(); }

    // One event (waiting up to a second) as a button, or 0.
    int pollButton();
    // Waits for the next event that maps to a button 1-4.
    int waitButton();
    // Replaces the package list and selects its first entry.
    void setPackages(const std::vector<PackageEntry>& packages);
    // Offers the packages for selection and runs the screens until the input loop ends.
    void runFileSelection(const std::vector<PackageEntry>& packages);
    // Installs the first package without asking.
    void runDirectInstall(const std::vector<PackageEntry>& packages);

    std::string requestPassword() override;
    void reportProgress(int percent, const std::string& text) override;
    // Draws `state` whole and posts the frame.
    void render(UIState& state);
    // Draws `state` whole into the window's buffer without posting it.
    void draw(UIState& state);

    // The button an input event stands for under `layout`, or 0.
    static int buttonFor(const CoreSystem::InputEvent& event,
                         const CoreSystem::DisplayLayout& layout);

    // For the screens.
    int width() const { return width_; }
    int height() const { return height_; }
    Renderer& renderer() { return renderer_; }
    // Draws a catalogue image with its lower-left corner at (x, y); 14-22 are the fills.
    void drawImage(int index, double x, double y);
    void drawIdentityTexts();
    // The version and unit lines shown on every screen, top to bottom.
    static std::array<std::string, 4> identityTexts();
    void drawBackgroundImage();
    UIOwner* owner() const { return owner_; }
    const std::vector<PackageEntry>& packages() const { return packages_; }
    // The highlighted entry, or null when the list does not hold the selected index.
    const PackageEntry* selectedPackage() const;
    int selectedIndex() const { return selectedIndex_; }
    void setSelectedIndex(int index) { selectedIndex_ = index; }
    std::uint32_t installStatus() const { return installStatus_; }
    void setInstallStatus(std::uint32_t status) { installStatus_ = status; }

    CoreSystem::M2InputQueue& inputQueue() { return inputQueue_; }
    Platform::ScreenWindow& window() { return window_; }

private:
    // Makes `state` current, draws it and returns what its run gives.
    int show(std::unique_ptr<UIState> state);
    bool backgroundCoversWindow();
    void drawFill(int index);

    std::unique_ptr<UIState> currentState_;
    UIOwner* owner_;
    Renderer renderer_;
    ImageCatalogue images_;
    Platform::ScreenWindow window_;
    int width_;
    int height_;
    int layoutId_ = 0;
    CoreSystem::DisplayLayout activeLayout_;
    int mode_ = 0;
    std::vector<PackageEntry> packages_;
    int selectedIndex_ = 0;
    std::uint32_t installStatus_ = 1;
    std::map<int, CoreSystem::DisplayLayout> layouts_;
    CoreSystem::M2InputQueue inputQueue_{true};
    bool logoStopped_ = false;
    // The last frame posted and the progress it showed.
    const UIState* lastFrameState_ = nullptr;
    Platform::Clock::Duration lastFrameTime_{};
    int lastProgressPercent_ = -1;
    std::string lastProgressText_;
};

}  // namespace Boot
