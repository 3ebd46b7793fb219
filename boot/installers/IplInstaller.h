#pragma once

#include "boot/installers/FirmwareInstaller.h"

namespace Boot {

// Initial program loader image for the QSPI-NOR flash, through the IPL control driver.
class IplInstaller final : public FirmwareInstaller {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
