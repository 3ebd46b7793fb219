#include "boot/installers/NNGMapsInstaller.h"

#include "CoreSystem/Utilities.h"

namespace Boot {

InstallStatus NNGMapsInstaller::install(const ComponentEntry& entry, std::istream& stream,
                                        InstallLog& installLog) {
    using CoreSystem::Utilities;
    reportAtStart("Begin MapEngineEngine Update");
    installLog.line("-- Begin MapsEngine Update --");

    const std::string mapsDirectory = Utilities::autoloadPath("map/NNGMapsEngine");
    installLog.line("MapsEngine: Remove old Map Engine directory");
    if (!removeTree(mapsDirectory)) {
        installLog.line("MapsEngine: Error: old Map Engine directory could not be removed");
        return InstallStatus::failure;
    }

    // Member paths are relative to the data root ("map/NNGMapsEngine/...").
    installLog.line("MapsEngine: Extract Maps Engine Files");
    progressText = "Updating Map Engine...";
    if (const InstallStatus extracted = extractArchive(entry, stream, Utilities::autoloadPath(""));
        extracted != InstallStatus::success) {
        installLog.line("MapsEngine: Extraction failed");
        return extracted;
    }

    installLog.line("MapsEngine: Set Map Engine directory Permissions 777");
    if (!chmodTree(mapsDirectory, "0777")) {
        installLog.line(
            "MapsEngine: Error: Permissions of some Map Engine directory entries could not be set "
            "to 777");
    }
    syncTree(mapsDirectory);

    installLog.line("-- MapsEngine Update Complete --");
    return InstallStatus::success;
}

}  // namespace Boot
