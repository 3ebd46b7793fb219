#pragma once

#include <istream>
#include <string>

#include "boot/ComponentInstallerBase.h"
#include "platform/Device.h"

namespace Boot {

// The Bluetooth module's firmware: brings up the serial drivers, takes the module out of its
// multiplexer mode, resets it and reads its build number, and, unless it already runs the
// package's version, downloads the component (a firmware file) over the module's boot-mode link.
class BluetoothInstaller final : public ComponentInstallerBase {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;

private:
    // Opens the module's port at 115200 baud with hardware flow control; not open on failure.
    static Platform::Device openBluetoothPort(const std::string& hostPath);
    // Switches parity generation and checking on (even parity) or off.
    static void setEvenParity(int descriptor, bool on);
    // The module's reply to the reset command, with its zero bytes turned into spaces.
    static std::string readResetReply(Platform::Device& port);
};

}  // namespace Boot
