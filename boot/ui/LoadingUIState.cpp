#include "boot/ui/LoadingUIState.h"

#include "assets/UiAssets.h"
#include "boot/InstallStatus.h"
#include "boot/ui/UIManager.h"
#include "boot/ui/UIOwner.h"

namespace Boot {

namespace {

constexpr int keySize = 43;
// The prompt drops to the smaller font from this length on, so 16 digits still fit.
constexpr std::size_t longPromptLength = 23;

}  // namespace

LoadingUIState::LoadingUIState(UIManager& manager)
    : UIState(manager),
      keypadX_(centreX() - 84),
      keypadY_(centreY() - 101),
      keypadKeys_{{
          // Selection order: 1-9 row by row from the top, then 0 and the wide enter key.
          {'1', centreX() - 77, centreY() + 54, keySize, keySize},
          {'2', centreX() - 21, centreY() + 54, keySize, keySize},
          {'3', centreX() + 36, centreY() + 54, keySize, keySize},
          {'4', centreX() - 77, centreY() + 6, keySize, keySize},
          {'5', centreX() - 21, centreY() + 6, keySize, keySize},
          {'6', centreX() + 36, centreY() + 6, keySize, keySize},
          {'7', centreX() - 77, centreY() - 43, keySize, keySize},
          {'8', centreX() - 21, centreY() - 43, keySize, keySize},
          {'9', centreX() + 36, centreY() - 43, keySize, keySize},
          {'0', centreX() - 77, centreY() - 91, keySize, keySize},
          {enterCode, centreX() - 31, centreY() - 91, 111, keySize},
      }} {}

const LoadingUIState::KeypadKey& LoadingUIState::keypadKey(int index) const {
    return keypadKeys_.at(static_cast<std::size_t>(index));
}

int LoadingUIState::barLength(int percent) {
    // Single precision and truncation, as the unit has always drawn it: 166 at 50 %, 333 at 100 %.
    return static_cast<int>(static_cast<float>(percent) * 3.33F);
}

void LoadingUIState::updateProgress(int percent, const std::string& message) {
    // The UI manager draws the screen again right after this.
    progress_ = percent;
    message_ = message;
}

int LoadingUIState::run() {
    UIManager& ui = manager();
    const PackageEntry* entry = ui.selectedPackage();
    InstallStatus status = InstallStatus::failure;
    if (entry != nullptr && ui.owner() != nullptr) {
        status = ui.owner()->installPackage(entry->path);
    }
    ui.setInstallStatus(static_cast<std::uint32_t>(status));
    return 0;
}

StateChange LoadingUIState::handleButton(int /*button*/) {
    return StateChange::leave();
}

std::string LoadingUIState::getPassword() {
    UIManager& ui = manager();
    passwordMode_ = true;
    ui.render(*this);
    while (handlePasswordButton(ui.waitButton())) {
        ui.render(*this);
    }
    ui.render(*this);
    passwordMode_ = false;
    // The entry and the selected key stay for a later request.
    return digits_;
}

bool LoadingUIState::handlePasswordButton(int button) {
    switch (button) {
        case UIManager::downButton:
            selectedKey_ = (selectedKey_ + 1) % keypadKeyCount;
            return true;
        case UIManager::upButton:
            selectedKey_ = (selectedKey_ + keypadKeyCount - 1) % keypadKeyCount;
            return true;
        case UIManager::selectButton: {
            const int code = keypadKey(selectedKey_).code;
            if (code == enterCode) {
                return false;
            }
            if (digits_.size() < maximumDigits) {
                digits_.push_back(static_cast<char>(code));
            }
            return true;
        }
        case UIManager::cancelButton:
            if (digits_.empty()) {
                return false;
            }
            digits_.pop_back();
            return true;
        default:
            return true;
    }
}

std::string LoadingUIState::passwordPrompt() const {
    std::string prompt = "Enter password: " + digits_;
    if (digits_.size() < maximumDigits) {
        prompt += "_";
    }
    return prompt;
}

void LoadingUIState::drawContent() {
    if (passwordMode_) {
        drawPasswordEntry();
    } else {
        drawProgress();
    }
}

void LoadingUIState::drawProgress() {
    manager().drawImage(UIManager::progressFrame, centreX() - 215, centreY() - 30);
    drawCentredText(36, centreX(), titleY(), message_);
    Renderer& renderer = manager().renderer();
    renderer.resetPath();
    renderer.fillColor({255, 0, 0, 255});
    const int left = centreX() - 145;
    renderer.rectangle(left, centreY() - 10, left + barLength(progress_), centreY() + 10);
    renderer.drawPath(DrawMode::fillOnly);
}

void LoadingUIState::drawPasswordEntry() {
    drawImageAtKey(UIManager::cancelIcon, UIManager::cancelButton);
    drawImageAtKey(UIManager::downIcon, UIManager::downButton);
    drawImageAtKey(UIManager::upIcon, UIManager::upButton);
    drawImageAtKey(UIManager::selectIcon, UIManager::selectButton);
    // The install icon is drawn over the up arrow.
    drawImageAtKey(UIManager::enterIcon, UIManager::upButton);
    const std::string prompt = passwordPrompt();
    drawCentredText(prompt.size() < longPromptLength ? 36 : 24, centreX(),
                    static_cast<double>(height()) * 0.8, prompt);
    manager().drawImage(UIManager::keypadImage, keypadX_, keypadY_);
    const KeypadKey& key = keypadKey(selectedKey_);
    Renderer& renderer = manager().renderer();
    renderer.resetPath();
    renderer.noFill();
    renderer.lineWidth(5);
    renderer.lineColor({200, 0, 0, 255});
    renderer.roundedRectangle(key.x, key.y, key.x + key.width, key.y + key.height, 5);
    renderer.drawPath(DrawMode::fillAndOutline);
}

}  // namespace Boot
