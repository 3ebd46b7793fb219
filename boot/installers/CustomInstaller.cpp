#include "boot/installers/CustomInstaller.h"

#include "CoreSystem/Utilities.h"
#include "platform/Process.h"

namespace Boot {

InstallStatus CustomInstaller::install(const ComponentEntry& entry, std::istream& stream,
                                       InstallLog& installLog) {
    using CoreSystem::Utilities;
    reportAtStart("Begin CustomInstaller Update");
    installLog.line("-- Begin CustomInstaller Update --");

    // Nothing is removed: earlier contents of the temporary folder stay.
    installLog.line("MapsEngine: Removing Custom directory");

    const std::string temporaryDirectory = Utilities::temporaryPath("");
    installLog.line("CustomInstaller: Extracting Custom Files");
    progressText = "Updating Custom Install...";
    if (const InstallStatus extracted = extractArchive(entry, stream, temporaryDirectory);
        extracted != InstallStatus::success) {
        installLog.line("CustomInstaller: Extraction failed");
        return extracted;
    }

    // Neither the modes nor the script's result are examined, and a package without a script
    // still succeeds: what the custom files need is the script's business. The path is a host
    // path beneath the unit root.
    installLog.line("CustomInstall: Set Custom Directory Permissions 777");
    static_cast<void>(chmodTree(temporaryDirectory, "0777"));
    static_cast<void>(
        Platform::Process::system(Utilities::shellQuoted(temporaryDirectory + "install.sh")));

    installLog.line("-- Custom Install Update Complete --");
    return InstallStatus::success;
}

}  // namespace Boot
