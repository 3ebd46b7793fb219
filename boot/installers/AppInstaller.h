#pragma once

#include "boot/ComponentInstallerBase.h"

namespace Boot {

// Component type 4: replaces the application folder from the package's archive and prepares the
// folders and ownership that the application expects on the data partition.
class AppInstaller : public ComponentInstallerBase {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
