#pragma once

#include "boot/ComponentInstallerBase.h"

namespace Boot {

// Component type 10: replaces the media image of the data partition with the package's copy.
class MediaInstaller : public ComponentInstallerBase {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
