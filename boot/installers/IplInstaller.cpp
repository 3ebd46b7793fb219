#include "boot/installers/IplInstaller.h"

#include "platform/DeviceCommands.h"

namespace Boot {

InstallStatus IplInstaller::install(const ComponentEntry& entry, std::istream& stream,
                                    InstallLog& installLog) {
    static constexpr Target ipl{
        .devicePath = "/dev/iplctl",
        .driverMissing = "IPL: iplctl driver is not running",
        .progressText = "Updating IPL...",
        .programmingLine = "IPL: Programming QSPI-NOR",
        .statusCommand = Platform::DeviceCommands::programmingStatus,
        .completeLine = "-- IPL Update Complete -- Status ",
    };
    reportAtStart("Begin IPL Update");
    installLog.line("-- Begin IPL Update --");
    std::vector<char> image;
    if (!readImage(entry, stream, installLog, "IPL: Allocate buffer for IPL binary",
                   "IPL: Good IPL file crc", image)) {
        return InstallStatus::failure;
    }
    std::int32_t status = -1;
    // The status is only logged: the flash keeps whatever the driver made of the image.
    return programTarget(ipl, entry, image, installLog, status) ? InstallStatus::success
                                                                : InstallStatus::failure;
}

}  // namespace Boot
