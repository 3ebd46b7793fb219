#include "boot/installers/EndInstaller.h"

namespace Boot {

InstallStatus EndInstaller::install(const ComponentEntry& /*entry*/, std::istream& /*stream*/,
                                    InstallLog& installLog) {
    reportAtStart("Begin PostInstall");
    installLog.line("-- Begin PostInstall --");
    installLog.line("-- PostInstall Complete --");
    return InstallStatus::success;
}

}  // namespace Boot
