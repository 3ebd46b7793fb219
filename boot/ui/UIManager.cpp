#include "boot/ui/UIManager.h"

#include <array>
#include <cstdlib>
#include <utility>

#include "CoreSystem/HardwareManager.h"
#include "assets/UiAssets.h"
#include "boot/LoaderVersion.h"
#include "boot/ui/FormatUIState.h"
#include "boot/ui/InteractiveUIState.h"
#include "boot/ui/LoadingUIState.h"
#include "boot/ui/ResultUIState.h"
#include "boot/ui/UIState.h"
#include "boot/ui/WaitUIState.h"
#include "platform/LocalNames.h"

namespace Boot {

namespace {

constexpr Color white{255, 255, 255, 255};

constexpr int identityFontHeight = 15;
constexpr double identityTextX = 95;
constexpr double identityTopY = 175;
constexpr double identityLineSpacing = 20;

// Soft keys are tried in this order, so where two squares overlap the earlier one wins.
constexpr std::array<int, 4> hitTestOrder{UIManager::cancelButton, UIManager::selectButton,
                                          UIManager::downButton, UIManager::upButton};
// A touch counts within this margin around a soft key's 60 x 60 icon.
constexpr int touchMargin = CoreSystem::DisplayLayout::touchMargin;
constexpr int iconSize = CoreSystem::DisplayLayout::iconSize;

// Catalogue indices 14-22 are fills of the whole screen width instead of bitmaps.
constexpr int firstFill = 14;
constexpr int lastFill = 22;
constexpr int firstGradientFill = 19;
constexpr std::array<Color, 9> fillColors{{
    {255, 0, 0, 255},
    {0, 255, 0, 255},
    {0, 0, 255, 255},
    {255, 255, 255, 255},
    {0, 0, 0, 255},
    {255, 0, 0, 255},
    {0, 255, 0, 255},
    {0, 0, 255, 255},
    {128, 128, 128, 255},
}};
constexpr double fillCornerRadius = 5;

bool stretchesBackground(int layoutId) {
    return layoutId == 10 || layoutId == 11;
}

}  // namespace

UIManager::UIManager(UIOwner* owner)
    : owner_(owner),
      width_(window_.width()),
      height_(window_.height()),
      layouts_(CoreSystem::DisplayLayout::builtIn()) {
    // Until the controller sets the display type, no soft key can be hit.
    setLayout(0);
    inputQueue_.startKeyReader();
    inputQueue_.startTouchReader();
}

UIManager::~UIManager() = default;

void UIManager::setLayout(int id) {
    layoutId_ = id;
    const auto found = layouts_.find(id);
    activeLayout_ = found != layouts_.end() ? found->second : layouts_.at(0);
}

void UIManager::setMode(int mode) {
    if (mode == 1 || mode == 2) {
        mode_ = mode;
    } else if (mode > 2) {
        mode_ = 0;
    }
}

int UIManager::show(std::unique_ptr<UIState> state) {
    currentState_ = std::move(state);
    render(*currentState_);
    return currentState_->run();
}

int UIManager::showWaitScreen() {
    return show(std::make_unique<WaitUIState>(*this));
}

int UIManager::showFormatScreen() {
    show(std::make_unique<FormatUIState>(*this));
    return 1;
}

int UIManager::showResultScreen() {
    return show(std::make_unique<ResultUIState>(*this));
}

// Touch coordinates are compared with the soft-key positions as the driver delivers them. The
// touch driver reports y upwards from the bottom edge, the same y-up system the screens draw in,
// so a touch on a drawn icon hits its soft key.
int UIManager::buttonFor(const CoreSystem::InputEvent& event,
                         const CoreSystem::DisplayLayout& layout) {
    using CoreSystem::InputEvent;
    if (event.type == InputEvent::typeTouch && event.touchKind == InputEvent::touchRelease) {
        for (const int button : hitTestOrder) {
            const CoreSystem::SoftKey& key = layout.keys.at(static_cast<std::size_t>(button - 1));
            if (event.x >= key.x - touchMargin && event.x <= key.x + iconSize + touchMargin &&
                event.y >= key.y - touchMargin && event.y <= key.y + iconSize + touchMargin) {
                return button;
            }
        }
        return noButton;
    }
    if (event.type == InputEvent::typeKey && event.keyState == InputEvent::keyRelease) {
        for (const int button : hitTestOrder) {
            const CoreSystem::SoftKey& key = layout.keys.at(static_cast<std::size_t>(button - 1));
            // A soft key without a mask has no hardware key.
            if (key.keyMask != 0 && key.keyMask == event.keyMask) {
                return button;
            }
        }
    }
    return noButton;
}

int UIManager::pollButton() {
    return buttonFor(inputQueue_.getEvent(1), activeLayout_);
}

int UIManager::waitButton() {
    int button = noButton;
    while (button == noButton) {
        button = pollButton();
    }
    return button;
}

void UIManager::setPackages(const std::vector<PackageEntry>& packages) {
    packages_ = packages;
    selectedIndex_ = 0;
}

void UIManager::runFileSelection(const std::vector<PackageEntry>& packages) {
    setPackages(packages);
    show(std::make_unique<InteractiveUIState>(*this));
    for (;;) {
        StateChange change = currentState_->handleButton(waitButton());
        if (change.kind() == StateChange::Kind::leave) {
            return;
        }
        if (change.kind() == StateChange::Kind::change) {
            currentState_ = change.takeNext();
        }
        render(*currentState_);
        if (currentState_->run() == 0) {
            return;
        }
    }
}

void UIManager::runDirectInstall(const std::vector<PackageEntry>& packages) {
    setPackages(packages);
    show(std::make_unique<LoadingUIState>(*this));
}

const PackageEntry* UIManager::selectedPackage() const {
    if (selectedIndex_ < 0 || static_cast<std::size_t>(selectedIndex_) >= packages_.size()) {
        return nullptr;
    }
    return &packages_[static_cast<std::size_t>(selectedIndex_)];
}

std::string UIManager::requestPassword() {
    return currentState_ ? currentState_->getPassword() : std::string();
}

void UIManager::reportProgress(int percent, const std::string& text) {
    if (!currentState_) {
        return;
    }
    currentState_->updateProgress(percent, text);
    // Installers report far more often than a person can follow, and every frame is drawn
    // whole: a new step's text is shown at once, a moving bar at most every
    // `progressFrameInterval`. The screen keeps the latest values for the next frame.
    const bool sameScreen = currentState_.get() == lastFrameState_;
    const bool sameText = text == lastProgressText_;
    if (sameScreen && sameText &&
        (percent == lastProgressPercent_ ||
         Platform::monotonicNow() - lastFrameTime_ < progressFrameInterval)) {
        return;
    }
    lastProgressPercent_ = percent;
    lastProgressText_ = text;
    render(*currentState_);
}

void UIManager::render(UIState& state) {
    draw(state);
    window_.post();
    lastFrameState_ = &state;
    lastFrameTime_ = Platform::monotonicNow();
    if (!logoStopped_) {
        // The boot-logo program ends when this name appears, so our first frame replaces it. Only
        // the logo waits for the name: without it the logo program is the one left running.
        static_cast<void>(Platform::LocalNames::attach("stoplogo"));
        logoStopped_ = true;
    }
}

void UIManager::draw(UIState& state) {
    renderer_.attach(window_.pixels(), width_, height_, window_.stride());
    // The background is drawn first on every screen; where it is opaque over the whole window,
    // it replaces every pixel that clearing would have set.
    if (!backgroundCoversWindow()) {
        renderer_.clearAll(white);
    }
    // The screens draw y-up: origin at the lower-left corner.
    renderer_.resetTransformations();
    renderer_.scale(1, -1);
    renderer_.translate(0, height_);
    state.drawBackground();
    state.drawContent();
}

bool UIManager::backgroundCoversWindow() {
    const Bitmap* background = images_.image(backgroundImage);
    if (background == nullptr || !background->opaque) {
        return false;
    }
    // Stretched, it fills the window; else it stands at the lower-left corner at its own size.
    return stretchesBackground(layoutId_) ||
           (background->width >= width_ && background->height >= height_);
}

void UIManager::drawBackgroundImage() {
    if (!stretchesBackground(layoutId_)) {
        drawImage(backgroundImage, 0, 0);
    } else if (const Bitmap* background = images_.image(backgroundImage); background != nullptr) {
        renderer_.transformImage(*background, 0, 0, width_, height_);
    }
}

std::array<std::string, 4> UIManager::identityTexts() {
    const char* bootstrapVersion = std::getenv("BOOTSTRAP_VERSION");
    return {
        "Bootloader Version: " + std::to_string(LoaderVersion::major) + "." +
            std::to_string(LoaderVersion::minor) + "." + std::to_string(LoaderVersion::build),
        std::string("Bootstrap Version: ") +
            (bootstrapVersion != nullptr ? bootstrapVersion : "0.0.0"),
        "Part Number: " + std::to_string(CoreSystem::Hardware::Manager::partNumber()),
        "Serial Number: " + std::to_string(CoreSystem::Hardware::Manager::serialNumber()),
    };
}

void UIManager::drawIdentityTexts() {
    renderer_.font(Assets::uiFontFace(), identityFontHeight);
    renderer_.textAlignment(TextAlignment::left, TextAlignment::center);
    renderer_.fillColor(white);
    renderer_.noOutline();
    double y = identityTopY;
    for (const std::string& line : identityTexts()) {
        renderer_.text(identityTextX, y, line);
        y -= identityLineSpacing;
    }
}

void UIManager::drawImage(int index, double x, double y) {
    if (index >= firstFill && index <= lastFill) {
        drawFill(index);
        return;
    }
    const Bitmap* bitmap = images_.image(index);
    if (bitmap == nullptr) {
        return;
    }
    renderer_.transformImage(*bitmap, x, y, x + bitmap->width, y + bitmap->height);
}

void UIManager::drawFill(int index) {
    const Color color = fillColors.at(static_cast<std::size_t>(index - firstFill));
    renderer_.resetPath();
    renderer_.noOutline();
    if (index >= firstGradientFill) {
        renderer_.fillLinearGradient(0, 0, width_, width_, color, white);
    } else {
        renderer_.fillColor(color);
    }
    renderer_.roundedRectangle(0, 0, width_, width_, fillCornerRadius);
    renderer_.drawPath(DrawMode::fillAndOutline);
}

}  // namespace Boot
