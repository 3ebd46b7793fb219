#include "boot/installers/UnavailableInstaller.h"

#include <string>

namespace Boot {

InstallStatus UnavailableInstaller::install(const ComponentEntry& entry, std::istream& /*stream*/,
                                            InstallLog& installLog) {
    installLog.line("Install: Error: no installer for Component Type: " +
                    std::to_string(entry.type));
    return InstallStatus::failure;
}

}  // namespace Boot
