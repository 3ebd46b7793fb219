#include "boot/installers/FirmwareInstaller.h"

#include <algorithm>
#include <string>

#include "boot/ComponentDataReader.h"
#include "platform/DeviceCommands.h"
#include "platform/UnitRoot.h"

namespace Boot {

bool FirmwareInstaller::readImage(const ComponentEntry& entry, std::istream& stream,
                                  InstallLog& installLog, const char* allocateLine,
                                  const char* goodCrcLine, std::vector<char>& image) {
    installLog.line(allocateLine);
    if (!ComponentDataReader::readWhole(entry, stream, image)) {
        logDataChanged(installLog);
        return false;
    }
    installLog.line(goodCrcLine);
    return true;
}

void FirmwareInstaller::transferImage(Platform::Device& device, std::span<char> image) {
    for (std::size_t offset = 0; offset < image.size();) {
        const std::size_t length =
            std::min(Platform::DeviceCommands::firmwarePieceSize, image.size() - offset);
        // A piece the driver refused shows in the programming status asked for afterwards.
        static_cast<void>(device.devctl(Platform::DeviceCommands::firmwareData,
                                        image.subspan(offset).data(), length));
        offset += length;
    }
}

bool FirmwareInstaller::programTarget(const Target& target, const ComponentEntry& entry,
                                      std::span<char> image, InstallLog& installLog,
                                      std::int32_t& status) {
    status = -1;
    Platform::Device device =
        Platform::Device::open(Platform::UnitRoot::hostPath(target.devicePath));
    if (!device.isOpen()) {
        installLog.line(target.driverMissing);
        return false;
    }
    transferImage(device, image);
    reportAtMiddle(entry, target.progressText);
    installLog.line(target.programmingLine);
    // The status word is the driver's answer; a query that gets none leaves it at -1.
    static_cast<void>(device.devctl(target.statusCommand, &status, sizeof status));
    device.close();
    installLog.line(std::string(target.completeLine) + std::to_string(status));
    return true;
}

}  // namespace Boot
