#pragma once

#include "boot/ComponentInstallerBase.h"

namespace Boot {

// Component type 4: replaces the application folder from the package's archive and prepares the
// folders and ownership that the application expects on the data partition. An archive that does
// not extract cleanly ends the install right after the extraction, with extractArchive's status:
// nothing after it (folders, owner, modes, sync) is done for a half-written tree.
class AppInstaller : public ComponentInstallerBase {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
