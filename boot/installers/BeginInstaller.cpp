#include "boot/installers/BeginInstaller.h"

#include "CoreSystem/Utilities.h"

namespace Boot {

InstallStatus BeginInstaller::install(const ComponentEntry& /*entry*/, std::istream& /*stream*/,
                                      InstallLog& installLog) {
    using CoreSystem::Utilities;
    reportAtStart("Begin PreInstall");
    installLog.line("-- Begin PreInstall --");

    const std::string root = Utilities::autoloadPath("");
    installLog.line("PreInstall: Check " + root + " mount exists");
    if (Utilities::isDirectory(root)) {
        installLog.line("-- PreInstall Complete --");
        return InstallStatus::success;
    }
    reportAtStart("Error: " + root + " directory does not exist");
    installLog.line("Error: " + root + " mount point missing");
    return InstallStatus::failure;
}

}  // namespace Boot
