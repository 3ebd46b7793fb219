#pragma once

#include "boot/installers/FirmwareInstaller.h"

namespace Boot {

// I/O microcontroller firmware, through the I/O interface driver.
class PicInstaller final : public FirmwareInstaller {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
