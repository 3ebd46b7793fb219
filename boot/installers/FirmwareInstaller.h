#pragma once

#include <cstdint>
#include <istream>

#include "boot/ComponentInstallerBase.h"
#include "platform/Device.h"

namespace Boot {

// Base of the installers that program firmware through a driver: the image goes to the driver
// in pieces of at most 1024 bytes, one firmware-data request per piece, in file order.
class FirmwareInstaller : public ComponentInstallerBase {
protected:
    // The texts and requests of one firmware target.
    struct Target {
        const char* devicePath;       // unit path of the driver
        const char* driverMissing;    // log line when the driver cannot be opened
        const char* progressText;     // shown at the middle of the component's share
        const char* programmingLine;  // logged before the status request
        std::uint32_t statusCommand;
        const char* completeLine;  // logged with the status word appended
    };

    // Streams the entry's data from the package to the driver. The image is read piece by
    // piece, so it costs no memory of its own size.
    static void transferImage(Platform::Device& device, const ComponentEntry& entry,
                              std::istream& stream);

    // Opens the driver, sends the image, reports progress, asks for the programming status and
    // logs it. False when the driver could not be opened (its line is logged); otherwise the
    // status word (-1 when the driver did not supply one) is in `status`.
    bool programTarget(const Target& target, const ComponentEntry& entry, std::istream& stream,
                       InstallLog& installLog, std::int32_t& status);
};

}  // namespace Boot
