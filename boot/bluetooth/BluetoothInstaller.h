#pragma once

#include <istream>

#include "boot/ComponentInstallerBase.h"

namespace Boot {

// The Bluetooth module's firmware: brings up the serial drivers, takes the module out of its
// multiplexer mode, resets it and reads its build number, and, unless it already runs the
// package's version, downloads the component (a firmware file) over the module's boot-mode link.
class BluetoothInstaller final : public ComponentInstallerBase {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
