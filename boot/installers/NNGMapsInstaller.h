#pragma once

#include "boot/ComponentInstallerBase.h"

namespace Boot {

// Component type 11: replaces the map engine's folder from the package's archive. An archive that
// does not extract cleanly ends the install right after the extraction, with extractArchive's
// status.
class NNGMapsInstaller : public ComponentInstallerBase {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
