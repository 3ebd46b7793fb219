#pragma once

#include "boot/ComponentInstallerBase.h"

namespace Boot {

// Component type 1: before anything is installed, checks that the data partition is mounted.
class BeginInstaller : public ComponentInstallerBase {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
