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
    std::vector<char> image;
    if (!readImage(entry, stream, installLog, "Touch: Allocate buffer for firmware",
                   "Touch: Good touch firmware file crc", image)) {
        return InstallStatus::failure;
    }
    std::int32_t status = -1;
    if (!programTarget(touch, entry, image, installLog, status)) {
        return InstallStatus::failure;
    }
    return status == 0 ? InstallStatus::success : InstallStatus::failure;
}

}  // namespace Boot
