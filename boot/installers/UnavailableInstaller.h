#pragma once

#include "boot/ComponentInstallerBase.h"

namespace Boot {

// Stands for a component type that this build of the loader cannot install: the component
// fails, so that a package never reports success without it.
class UnavailableInstaller final : public ComponentInstallerBase {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
