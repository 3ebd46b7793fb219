#pragma once

#include "boot/ComponentInstallerBase.h"

namespace Boot {

// Component type 3: replaces the operating-system folder of the data partition from the package's
// archive. An archive that does not extract cleanly ends the install right after the extraction,
// with extractArchive's status.
class OSInstaller : public ComponentInstallerBase {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
