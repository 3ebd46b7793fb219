#include "boot/ui/ResultUIState.h"

#include <string>

#include "boot/InstallStatus.h"
#include "boot/ui/UIManager.h"
#include "platform/Clock.h"

namespace Boot {

std::string ResultUIState::textForStatus(std::uint32_t status) {
    switch (status) {
        case 0:
            return "Error";
        case 1:
            return "Success";
        case 301:
            return "Invalid File";
        case 302:
            return "Unsecured File On Secured Unit";
        case 303:
            return "Part Number Match Failed";
        case 304:
            return "Corrupted TAR File";
        case 307:
            return "Invalid Component Type";
        case 309:
            return "Password Incorrect";
        case 402:
            return "Hardware Family Mismatch";
        case 403:
            return "Missing Part Number";
        case 404:
            return "Missing Serial Number";
        case 405:
            return "Cannot do Config only Backgrade";
        case 406:
            return "Cannot Downgrade eMMC Driver";
        default:
            return "Unknown Status Code";
    }
}

int ResultUIState::run() {
    statusText_ = textForStatus(manager().installStatus());
    for (int seconds = countdownSeconds; seconds >= 1; --seconds) {
        countdownText_ = "Rebooting in " + std::to_string(seconds) + " Seconds...";
        manager().render(*this);
        Platform::sleepMilliseconds(1000);
    }
    return 0;
}

StateChange ResultUIState::handleButton(int /*button*/) {
    return StateChange::leave();
}

void ResultUIState::drawContent() {
    const std::uint32_t status = manager().installStatus();
    if (status == static_cast<std::uint32_t>(InstallStatus::success)) {
        manager().drawImage(UIManager::successMark, centreX() - 36, centreY() - 36);
    } else {
        manager().drawImage(UIManager::errorFolder, centreX() - 62, centreY() - 45);
        // The number sits in the folder's speech bubble; codes are shown signed.
        drawCentredText(28, centreX() + 25, centreY() + 23,
                        std::to_string(static_cast<std::int32_t>(status)));
    }
    drawCentredText(36, centreX(), titleY() + 50, countdownText_);
    drawCentredText(36, centreX(), titleY(), statusText_);
}

}  // namespace Boot
