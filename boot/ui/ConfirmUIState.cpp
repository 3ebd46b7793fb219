#include "boot/ui/ConfirmUIState.h"

#include <memory>

#include "assets/UiAssets.h"
#include "boot/ui/InteractiveUIState.h"
#include "boot/ui/LoadingUIState.h"
#include "boot/ui/UIManager.h"

namespace Boot {

StateChange ConfirmUIState::handleButton(int button) {
    switch (button) {
        case UIManager::cancelButton:
            // The selection stays, so the same entry is offered again.
            return StateChange::to(std::make_unique<InteractiveUIState>(manager()));
        case UIManager::selectButton:
        case UIManager::upButton:
            return StateChange::to(std::make_unique<LoadingUIState>(manager()));
        default:
            return StateChange::stay();
    }
}

void ConfirmUIState::drawContent() {
    drawImageAtKey(UIManager::cancelIcon, UIManager::cancelButton);
    drawImageAtKey(UIManager::enterIcon, UIManager::upButton);
    // The caption sits left of the install icon, in the identity texts' font and alignment.
    const CoreSystem::SoftKey& installKey =
        manager().activeLayout().keys.at(UIManager::upButton - 1);
    Renderer& renderer = manager().renderer();
    renderer.font(Assets::uiFontFace(), 15);
    renderer.textAlignment(TextAlignment::left, TextAlignment::center);
    renderer.fillColor({255, 255, 255, 255});
    renderer.noOutline();
    renderer.text(installKey.x - 65, installKey.y + 25, "Install");
    drawCentredText(36, centreX(), titleY(), "Confirm Load");
    if (const PackageEntry* entry = manager().selectedPackage(); entry != nullptr) {
        drawCentredText(24, centreX(), centreY(), entry->displayName);
    }
}

}  // namespace Boot
