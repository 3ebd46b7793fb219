#pragma once

#include "boot/installers/FirmwareInstaller.h"

namespace Boot {

// Touch controller firmware, through the touch driver; fails unless the controller reports status
// 0.
class TouchInstaller final : public FirmwareInstaller {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
