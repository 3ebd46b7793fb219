#include "boot/installers/FirmwareInstaller.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "platform/DeviceCommands.h"
#include "platform/UnitRoot.h"

namespace Boot {

void FirmwareInstaller::transferImage(Platform::Device& device, const ComponentEntry& entry,
                                      std::istream& stream) {
    std::array<char, Platform::DeviceCommands::firmwarePieceSize> piece{};
    stream.clear(stream.rdstate() & ~std::ios::eofbit);
    stream.seekg(static_cast<std::streamoff>(entry.offset));
    for (std::uint64_t offset = 0; offset < entry.size;) {
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), entry.size - offset));
        // A short read cannot happen after the data check; the piece keeps its length anyway.
        stream.read(piece.data(), static_cast<std::streamsize>(length));
        device.devctl(Platform::DeviceCommands::firmwareData, piece.data(), length);
        offset += length;
    }
}

bool FirmwareInstaller::programTarget(const Target& target, const ComponentEntry& entry,
                                      std::istream& stream, InstallLog& installLog,
                                      std::int32_t& status) {
    status = -1;
    Platform::Device device =
        Platform::Device::open(Platform::UnitRoot::hostPath(target.devicePath), O_RDWR);
    if (!device.isOpen()) {
        installLog.line(target.driverMissing);
        return false;
    }
    transferImage(device, entry, stream);
    reportAtMiddle(entry, target.progressText);
    installLog.line(target.programmingLine);
    device.devctl(target.statusCommand, &status, sizeof status);
    device.close();
    installLog.line(std::string(target.completeLine) + std::to_string(status));
    return true;
}

}  // namespace Boot
