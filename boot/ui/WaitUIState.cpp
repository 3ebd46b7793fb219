#include "boot/ui/WaitUIState.h"

#include "CoreSystem/HardwareManager.h"
#include "boot/ui/UIManager.h"

namespace Boot {

StateChange WaitUIState::handleButton(int button) {
    if (button == UIManager::cancelButton) {
        CoreSystem::Hardware::Manager::shutdown();
    }
    return StateChange::leave();
}

void WaitUIState::drawContent() {
    manager().drawImage(UIManager::usbIllustration, centreX() - 175, centreY() - 44);
    // The same rounding as the unit's firmware: the factor in single precision.
    const float textY = static_cast<float>(height()) * 0.666F;
    drawCentredText(24, centreX(), textY, "Waiting for Connection or USB");
    drawImageAtKey(UIManager::cancelIcon, UIManager::cancelButton);
}

}  // namespace Boot
