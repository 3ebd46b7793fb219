#pragma once

#include "boot/ComponentInstallerBase.h"

namespace Boot {

// Component type 12: the step after every other component of a package.
class EndInstaller : public ComponentInstallerBase {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
