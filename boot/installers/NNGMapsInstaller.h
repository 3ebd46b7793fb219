#pragma once

#include "boot/ComponentInstallerBase.h"

namespace Boot {

// Component type 11: replaces the map engine's folder from the package's archive.
class NNGMapsInstaller : public ComponentInstallerBase {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
