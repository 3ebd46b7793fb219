#include "boot/installers/ConfigurationInstaller.h"

#include "CoreSystem/Utilities.h"

namespace Boot {

InstallStatus ConfigurationInstaller::install(const ComponentEntry& entry, std::istream& stream,
                                              InstallLog& installLog) {
    using CoreSystem::Utilities;
    reportAtStart("Begin Configuration Update");
    installLog.line("-- Begin Configuration Update --");

    // The customer extension scripts are not run yet; the log still names each of them.
    installLog.line(
        "Configuration: TODO Executing Customer Extensions script BeforeConfiguUpdate.sh");

    const std::string configurationDirectory = Utilities::configurationPath("");
    installLog.line("Configuration: Removing old configuration directory");
    if (!removeTree(configurationDirectory)) {
        installLog.line("Configuration: Error: old configuration directory could not be removed");
        return InstallStatus::failure;
    }

    // Member paths are relative to the data root ("config/...").
    installLog.line("Configuration: Begin extracting Configuration tar file");
    progressText = "Updating Configuration...";
    if (const InstallStatus extracted = extractArchive(entry, stream, Utilities::autoloadPath(""));
        extracted != InstallStatus::success) {
        installLog.line("Configuration: Extraction failed");
        return extracted;
    }

    installLog.line("Configuration: TODO Compiling scripts");
    installLog.line("Configuration: TODO Executing Customer Extensions script StartCustomer.sh");
    installLog.line(
        "Configuration: TODO Executing Customer Extensions script AfterConfiguUpdate.sh");

    syncTree(configurationDirectory);
    installLog.line("-- Configuration Update Complete --");
    return InstallStatus::success;
}

}  // namespace Boot
