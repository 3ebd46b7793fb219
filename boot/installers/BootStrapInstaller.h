#pragma once

#include "boot/installers/FirmwareInstaller.h"

namespace Boot {

// Bootstrap image for the QSPI-NOR flash, through the IPL control driver. Old bootstraps cannot
// drive an HS400 eMMC, so they are refused on such units.
class BootStrapInstaller final : public FirmwareInstaller {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
