#include "boot/installers/AppInstaller.h"

#include "CoreSystem/Utilities.h"

namespace Boot {
namespace {

// A folder that could not be made is logged only, as owner and mode failures are: the
// application may still run without it.
void makeFolder(const std::string& directory, InstallLog& installLog) {
    if (!CoreSystem::Utilities::makeDirectories(directory)) {
        installLog.line("Application: Error: " + directory + " could not be created");
    }
}

}  // namespace

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
    // An update must not report success over an old tree it left behind.
    installLog.line("Application: Remove old Application directory");
    if (!removeTree(applicationDirectory)) {
        installLog.line("Application: Error: old Application directory could not be removed");
        return InstallStatus::failure;
    }

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
        if (!removeTree(directory)) {
            installLog.line("Application: Error: " + directory + " could not be removed");
            return InstallStatus::failure;
        }
        makeFolder(directory, installLog);
    }

    // These keep what they hold: they are created only when missing.
    installLog.line("Application: Creating nvdata/mhrs, nvdata/versions and root directories");
    for (const std::string& directory :
         {Utilities::nonVolatileDataPath("mhrs/"), Utilities::nonVolatileDataPath("versions/"),
          Utilities::autoloadPath("root/")}) {
        if (!Utilities::isDirectory(directory)) {
            makeFolder(directory, installLog);
        }
    }

    // Owner and mode failures are logged only: a unit without the right to change owners
    // still runs the application.
    installLog.line("Application: Set " + root + " owner:group to root");
    if (!chownTree(root)) {
        installLog.line("Application: Error: owner:group of some entries beneath " + root +
                        " could not be set to root");
    }

    installLog.line("Application: Set Application directory Permissions 777");
    if (!chmodTree(applicationDirectory, "0777")) {
        installLog.line(
            "Application: Error: Permissions of some Application directory entries could not be "
            "set to 777");
    }
    syncTree(applicationDirectory);

    installLog.line("-- Application Update Complete -- ");
    return InstallStatus::success;
}

}  // namespace Boot
