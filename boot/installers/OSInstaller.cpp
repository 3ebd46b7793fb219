#include "boot/installers/OSInstaller.h"

#include <vector>

#include "CoreSystem/Utilities.h"
#include "platform/FileSystem.h"

namespace Boot {
namespace {

bool isSymbolicLink(const std::string& path) {
    return Platform::FileSystem::linkStatus(path).kind ==
           Platform::FileSystem::EntryKind::symbolicLink;
}

}  // namespace

InstallStatus OSInstaller::install(const ComponentEntry& entry, std::istream& stream,
                                   InstallLog& installLog) {
    using CoreSystem::Utilities;
    reportAtStart("Begin OS Update");
    installLog.line("-- Begin OS Update --");

    const std::string osDirectory = Utilities::autoloadPath("os/");
    installLog.line("OS: Remove old OS directory");
    if (!removeTree(osDirectory)) {
        installLog.line("OS: Error: old OS directory could not be removed");
        return InstallStatus::failure;
    }

    installLog.line("OS: Create OS directory");
    // The extraction makes the folder and its parents itself, and fails when it cannot.
    static_cast<void>(Utilities::makeDirectories(osDirectory));

    installLog.line("OS: Extract OS tar file");
    progressText = "Updating OS...";
    if (const InstallStatus extracted = extractArchive(entry, stream, osDirectory);
        extracted != InstallStatus::success) {
        installLog.line("OS: Extraction failed");
        return extracted;
    }

    // Only the top level, "." and ".." included: the OS folder and the data root above it are
    // opened up too. A symbolic link is left alone, since chmod would change what it points at.
    installLog.line("OS: Set OS directory Permissions 777");
    std::vector<std::string> names;
    Utilities::listDirectory(osDirectory, names, "", true);
    for (const std::string& name : names) {
        const std::string path = osDirectory + name;
        // Like the other modes set after an install, one that cannot be set is not reported.
        if (!isSymbolicLink(path)) {
            static_cast<void>(Utilities::changeMode(path, "777"));
        }
    }

    syncTree(osDirectory);
    installLog.line("-- OS Update Complete --");
    return InstallStatus::success;
}

}  // namespace Boot
