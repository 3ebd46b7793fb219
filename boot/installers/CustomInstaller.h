#pragma once

#include "boot/ComponentInstallerBase.h"

namespace Boot {

// Component type 15: unpacks custom files into the temporary folder and runs the install.sh
// that they bring.
class CustomInstaller : public ComponentInstallerBase {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
