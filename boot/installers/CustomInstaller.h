#pragma once

#include "boot/ComponentInstallerBase.h"

namespace Boot {

// Component type 15: unpacks custom files into the temporary folder and runs the install.sh that
// they bring. An archive that does not extract cleanly ends the install right after the
// extraction, with extractArchive's status, so that no install.sh of a partial set is run.
class CustomInstaller : public ComponentInstallerBase {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
