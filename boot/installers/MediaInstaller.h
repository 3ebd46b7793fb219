#pragma once

#include "boot/ComponentInstallerBase.h"

namespace Boot {

// Component type 10: replaces the media image of the data partition with the package's copy,
// streamed through a fixed buffer. Fails (0) when the image cannot be read from the package or
// written and synced in full.
class MediaInstaller : public ComponentInstallerBase {
public:
    InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                          InstallLog& installLog) override;
};

}  // namespace Boot
