#include "boot/ui/FormatUIState.h"

#include <fstream>
#include <string>

#include "CoreSystem/Utilities.h"
#include "boot/ui/UIManager.h"
#include "platform/Clock.h"
#include "platform/UnitRoot.h"
#include "platform/Waitfor.h"

namespace Boot {

namespace {

using CoreSystem::Utilities;

constexpr int partitionCount = 4;
constexpr int mountWaitMilliseconds = 3000;
constexpr long long stepPauseMilliseconds = 1000;

}  // namespace

void FormatUIState::showStep(const std::string& message) {
    message_ = message;
    manager().render(*this);
}

int FormatUIState::run() {
    using Platform::UnitRoot;
    // Words of the shell commands below.
    const std::string device = Utilities::shellQuoted(UnitRoot::hostPath("/dev/emmc0"));
    const std::string partition = Utilities::shellQuoted(UnitRoot::hostPath("/dev/emmc0t177"));
    const std::string dataPartition = Utilities::shellQuoted(UnitRoot::hostPath("/fs/etfs"));
    const std::string markerPath = UnitRoot::hostPath("/fs/etfs/formatted");

    status_ = 1;
    showStep("Formatting: Deleting Partitions...");
    for (int slot = 1; slot <= partitionCount; ++slot) {
        Utilities::runShell("fdisk " + device + " delete -s" + std::to_string(slot));
    }
    Platform::sleepMilliseconds(stepPauseMilliseconds);

    showStep("Formatting: Creating New Partitions...");
    // One QNX6 partition (type 177) over the whole device.
    Utilities::runShell("fdisk " + device + " add -s1 -t 177 -p 100");
    Platform::sleepMilliseconds(stepPauseMilliseconds);

    showStep("Formatting: Formatting File System...");
    Utilities::runShell("mount -e " + device);
    Utilities::runShell("mkqnx6fs -b 4096 -q " + partition);
    Utilities::runShell("mount -t qnx6 " + partition + " " + dataPartition);
    // A partition that does not come up shows as a missing marker below.
    static_cast<void>(Platform::waitfor(UnitRoot::hostPath("/fs/etfs/"), mountWaitMilliseconds));

    {
        std::ofstream marker(markerPath);
        marker << "Format Completed\n" << std::flush;
    }
    // Whether the marker exists afterwards decides, not whether it reached storage.
    static_cast<void>(Utilities::syncFile(markerPath));
    Platform::sleepMilliseconds(stepPauseMilliseconds);

    if (!Utilities::exists(markerPath)) {
        status_ = 0;
        message_ = "Formatting: Error Formatting File System...";
    }
    manager().render(*this);
    return 0;
}

StateChange FormatUIState::handleButton(int /*button*/) {
    return StateChange::leave();
}

void FormatUIState::drawContent() {
    if (status_ == 1) {
        manager().drawImage(UIManager::successMark, centreX() - 36, centreY() - 36);
    } else {
        manager().drawImage(UIManager::errorFolder, centreX() - 62, centreY() - 45);
        drawCentredText(28, centreX() + 25, centreY() + 23, std::to_string(status_));
    }
    drawCentredText(36, centreX(), titleY(), message_);
}

}  // namespace Boot
