#pragma once

#include <cstdint>
#include <istream>
#include <string>

#include "boot/InstallLog.h"
#include "boot/InstallStatus.h"
#include "boot/InstallUserInterface.h"
#include "boot/PackageFormat.h"

namespace Boot {

// Base of every component installer: its share of the progress bar, the entry point `run`, and
// the file-tree and archive helpers that the installers share.
class ComponentInstallerBase {
public:
    ComponentInstallerBase() = default;
    ComponentInstallerBase(const ComponentInstallerBase&) = delete;
    ComponentInstallerBase& operator=(const ComponentInstallerBase&) = delete;
    ComponentInstallerBase(ComponentInstallerBase&&) = delete;
    ComponentInstallerBase& operator=(ComponentInstallerBase&&) = delete;
    virtual ~ComponentInstallerBase() = default;

    // Takes the progress share (the overall percentage at which this component starts and what
    // one of its bytes is worth) and installs the component.
    InstallStatus run(InstallUserInterface* userInterface, const ComponentEntry& entry,
                      std::istream& stream, float startPercent, float percentPerByte,
                      InstallLog* installLog);

    // Installs the component whose data lies at entry.offset in the package stream.
    virtual InstallStatus install(const ComponentEntry& entry, std::istream& stream,
                                  InstallLog& installLog) = 0;

protected:
    // File-tree walks (Platform::FileTree): one file system, contents before their folder,
    // symbolic links never followed (a link is removed or re-owned itself, and skipped by chmod),
    // no limit on depth or path length. They go on past an entry that fails and return true only
    // when every entry was handled; a path that does not exist is nothing to do.
    [[nodiscard]] static bool removeTree(const std::string& path);
    [[nodiscard]] static bool chmodTree(const std::string& path, const std::string& octalText);
    [[nodiscard]] static bool chownTree(const std::string& path);
    // Makes everything beneath `path` durable, as an fsync of every file in it would; done as
    // one sync of the file system that holds it.
    static void syncTree(const std::string& path);

    // Archive-manager callbacks; `installer` is the ComponentInstallerBase.
    static void archiveProgress(std::uint32_t total, std::uint32_t done, void* installer);
    static void entryStarted(const char* path, void* installer);
    static void entryFinished(const char* path, void* installer);

    // Extracts the entry's tar.gz archive beneath `destination` with progress and log lines.
    // success when every member was written; corruptedTarFile when the archive is damaged or
    // truncated, a member was refused, or the bytes read were not those verified before the
    // install (logged with logDataChanged); failure when the disk refused a member.
    InstallStatus extractArchive(const ComponentEntry& entry, std::istream& stream,
                                 const std::string& destination);

    // The line that says a component's data was not what the check before the install saw.
    static void logDataChanged(InstallLog& installLog);

    // reportProgress at this component's start percentage.
    void reportAtStart(const std::string& text);
    // reportProgress at the middle of this component's share.
    void reportAtMiddle(const ComponentEntry& entry, const std::string& text);
    // reportProgress at the end of this component's share.
    void reportAtEnd(const ComponentEntry& entry, const std::string& text);

    InstallUserInterface* ui = nullptr;
    float startPercent = 0.0F;
    float percentPerByte = 0.0F;
    float lastReportedPercent = 0.0F;
    std::string progressText;
    InstallLog* log = nullptr;
};

}  // namespace Boot
