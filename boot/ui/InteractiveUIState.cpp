#include "boot/ui/InteractiveUIState.h"

#include <memory>

#include "boot/ui/ConfirmUIState.h"
#include "boot/ui/UIManager.h"

namespace Boot {

StateChange InteractiveUIState::handleButton(int button) {
    UIManager& ui = manager();
    const int lastIndex = static_cast<int>(ui.packages().size()) - 1;
    switch (button) {
        case UIManager::cancelButton:
            return StateChange::leave();
        case UIManager::selectButton:
            return StateChange::to(std::make_unique<ConfirmUIState>(ui));
        case UIManager::upButton:
            if (ui.selectedIndex() > 0) {
                ui.setSelectedIndex(ui.selectedIndex() - 1);
            }
            return StateChange::stay();
        case UIManager::downButton:
            if (ui.selectedIndex() < lastIndex) {
                ui.setSelectedIndex(ui.selectedIndex() + 1);
            }
            return StateChange::stay();
        default:
            return StateChange::stay();
    }
}

void InteractiveUIState::drawContent() {
    drawImageAtKey(UIManager::cancelIcon, UIManager::cancelButton);
    drawImageAtKey(UIManager::downIcon, UIManager::downButton);
    drawImageAtKey(UIManager::upIcon, UIManager::upButton);
    drawImageAtKey(UIManager::selectIcon, UIManager::selectButton);
    drawCentredText(36, centreX(), titleY(), "Select File to Load");
    // An empty list shows no name.
    if (const PackageEntry* entry = manager().selectedPackage(); entry != nullptr) {
        drawCentredText(20, centreX() + 10, centreY() + 30, entry->displayName);
    }
}

}  // namespace Boot
