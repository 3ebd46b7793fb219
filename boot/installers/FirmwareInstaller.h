#pragma once

#include <cstdint>
#include <istream>
#include <span>
#include <vector>

#include "boot/ComponentInstallerBase.h"
#include "platform/Device.h"

namespace Boot {

// Base of the installers that program firmware through a driver: the image is read whole and
// checked, then goes to the driver in pieces of at most 1024 bytes, one firmware-data request per
// piece, in file order.
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

    // Logs `allocateLine`, reads the whole image and checks it against the entry's CRC, then logs
    // `goodCrcLine`. False, with a line saying why instead, when the package no longer holds the
    // data that was verified: then nothing may reach the driver.
    [[nodiscard]] static bool readImage(const ComponentEntry& entry, std::istream& stream,
                                        InstallLog& installLog, const char* allocateLine,
                                        const char* goodCrcLine, std::vector<char>& image);

    // Sends the image to the driver, one firmware-data request per piece.
    static void transferImage(Platform::Device& device, std::span<char> image);

    // Opens the driver, sends the image, reports progress, asks for the programming status and
    // logs it. False when the driver could not be opened (its line is logged); otherwise the
    // status word (-1 when the driver did not supply one) is in `status`.
    [[nodiscard]] bool programTarget(const Target& target, const ComponentEntry& entry,
                                     std::span<char> image, InstallLog& installLog,
                                     std::int32_t& status);
};

}  // namespace Boot
