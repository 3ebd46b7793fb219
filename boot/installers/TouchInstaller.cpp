#include "boot/installers/TouchInstaller.h"

#include "platform/DeviceCommands.h"

namespace Boot {

InstallStatus TouchInstaller::install(const ComponentEntry& entry, std::istream& stream,
                                      InstallLog& installLog) {
    static constexpr Target touch{
        .devicePath = "/dev/touch-dura",
        .driverMissing = "Touch: driver is not running",
        .progressText = "Updating Touch...",
        .programmingLine = "Touch: Programming",
        .statusCommand = Platform::DeviceCommands::touchProgrammingStatus,
        .completeLine = "-- Touch Update Complete -- Status ",
    };
    reportAtStart("Begin Touch Update");
    installLog.line("-- Begin Touch Update --");
    installLog.line("Touch: Allocate buffer for firmware");
    installLog.line("Touch: Good touch firmware file crc");
    std::int32_t status = -1;
    if (!programTarget(touch, entry, stream, installLog, status)) {
        return InstallStatus::failure;
    }
    return status == 0 ? InstallStatus::success : InstallStatus::failure;
}

}  // namespace Boot
