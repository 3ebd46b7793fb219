#include "boot/installers/AppInstaller.h"

#include "CoreSystem/Utilities.h"

namespace Boot {

InstallStatus AppInstaller::install(const ComponentEntry& entry, std::istream& stream,
                                    InstallLog& installLog) {
    using CoreSystem::Utilities;
    reportAtStart("Begin Application Update");
    installLog.line("-- Begin Application Update --");

    const std::string root = Utilities::autoloadPath("");
    installLog.line("Application: Check " + root + " mount exists");
    if (!Utilities::isDirectory(root)) {
        const std::string error = "Error: " + root + " directory does not exist";
        reportAtStart(error);
        installLog.line(error);
        return InstallStatus::failure;
    }

    const std::string applicationDirectory = Utilities::applicationPath("");
    installLog.line("Application: Remove old Application directory");
    removeTree(applicationDirectory);

    // Member paths are relative to the data root ("app/...").
    installLog.line("Application: Begin extracting Application tar file");
    progressText = "Updating Application...";
    if (const InstallStatus extracted = extractArchive(entry, stream, root);
        extracted != InstallStatus::success) {
        installLog.line("Application: Extraction failed");
        return extracted;
    }

    installLog.line("Application: Create script and temp directories");
    for (const std::string& directory :
         {Utilities::autoloadPath("script/"), Utilities::temporaryPath("")}) {
        removeTree(directory);
        Utilities::makeDirectories(directory);
    }

    // These keep what they hold: they are created only when missing.
    installLog.line("Application: Creating nvdata/mhrs, nvdata/versions and root directories");
    for (const std::string& directory :
         {Utilities::nonVolatileDataPath("mhrs/"), Utilities::nonVolatileDataPath("versions/"),
          Utilities::autoloadPath("root/")}) {
        if (!Utilities::isDirectory(directory)) {
            Utilities::makeDirectories(directory);
        }
    }

    installLog.line("Application: Set " + root + " owner:group to root");
    chownTree(root);

    installLog.line("Application: Set Application directory Permissions 777");
    chmodTree(applicationDirectory, "0777");
    syncTree(applicationDirectory);

    installLog.line("-- Application Update Complete -- ");
    return InstallStatus::success;
}

}  // namespace Boot
