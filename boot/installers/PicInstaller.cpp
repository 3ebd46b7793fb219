#include "boot/installers/PicInstaller.h"

#include <array>
#include <string>

#include "platform/DeviceCommands.h"
#include "platform/UnitRoot.h"

namespace Boot {

InstallStatus PicInstaller::install(const ComponentEntry& entry, std::istream& stream,
                                    InstallLog& installLog) {
    reportAtStart("Begin PIC Update");
    installLog.line("-- Begin PIC Update --");
    std::vector<char> image;
    if (!readImage(entry, stream, installLog, "PIC: Allocate buffer for PIC binary",
                   "PIC: Good PIC file crc", image)) {
        return InstallStatus::failure;
    }
    installLog.line("PIC: Programming PIC");
    Platform::Device device =
        Platform::Device::open(Platform::UnitRoot::hostPath("/dev/io_interface"));
    if (!device.isOpen()) {
        installLog.line("PIC: I/O driver is not running");
        return InstallStatus::failure;
    }
    // The driver expects its query before the data; neither the reply nor whether one came says
    // anything the update needs: the status request after the data tells.
    std::array<std::uint8_t, 6> reply{};
    static_cast<void>(
        device.devctl(Platform::DeviceCommands::picQuery, reply.data(), reply.size()));
    transferImage(device, image);
    reportAtMiddle(entry, "Updating PIC...");
    std::int32_t status = -1;
    // The request's own result is what tells whether the driver took the image.
    const int requestResult =
        device.devctl(Platform::DeviceCommands::programmingStatus, &status, sizeof status);
    device.close();
    installLog.line("PicStatus is " + std::to_string(requestResult));
    installLog.line("-- PIC Update Complete --");
    return InstallStatus::success;
}

}  // namespace Boot
