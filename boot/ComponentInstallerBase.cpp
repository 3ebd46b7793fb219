#include "boot/ComponentInstallerBase.h"

#include <cassert>
#include <optional>
#include <span>

#include "CoreSystem/ArchiveManager.h"
#include "CoreSystem/Utilities.h"
#include "boot/PackageSeal.h"
#include "platform/FileSync.h"
#include "platform/FileTree.h"

namespace Boot {

InstallStatus ComponentInstallerBase::run(InstallUserInterface* userInterface,
                                          const ComponentEntry& entry, std::istream& stream,
                                          float start, float perByte, InstallLog* installLog) {
    ui = userInterface;
    startPercent = start;
    lastReportedPercent = start;
    percentPerByte = perByte;
    log = installLog;
    assert(installLog != nullptr);
    return install(entry, stream, *installLog);
}

bool ComponentInstallerBase::removeTree(const std::string& path) {
    return Platform::FileTree::remove(path);
}

bool ComponentInstallerBase::chmodTree(const std::string& path, const std::string& octalText) {
    return Platform::FileTree::changeMode(path, CoreSystem::Utilities::octalMode(octalText));
}

bool ComponentInstallerBase::chownTree(const std::string& path) {
    return Platform::FileTree::changeOwner(path, 0, 0);
}

void ComponentInstallerBase::syncTree(const std::string& path) {
    // One wait for the whole file system instead of one flush of the storage per file: the
    // installers' files have had their writeback started as they were extracted. A failure is left
    // unreported, as for the other syncs of an install: the files are in place, and there is no
    // better copy to write.
    static_cast<void>(Platform::FileSync::syncFileSystem(path));
}

void ComponentInstallerBase::archiveProgress(std::uint32_t /*total*/, std::uint32_t done,
                                             void* installer) {
    auto* self = static_cast<ComponentInstallerBase*>(installer);
    self->log->flush();
    const float percent = self->startPercent + static_cast<float>(done) * self->percentPerByte;
    if (percent - self->lastReportedPercent > 0.5F) {
        if (self->ui != nullptr) {
            self->ui->reportProgress(static_cast<int>(percent), self->progressText);
        }
        self->lastReportedPercent = percent;
    }
}

void ComponentInstallerBase::entryStarted(const char* path, void* installer) {
    static_cast<ComponentInstallerBase*>(installer)->log->memberLine(
        std::string("  Begin Write: ") + path);
}

void ComponentInstallerBase::entryFinished(const char* path, void* installer) {
    static_cast<ComponentInstallerBase*>(installer)->log->memberLine(
        std::string("  Completed Write: ") + path);
}

InstallStatus ComponentInstallerBase::extractArchive(const ComponentEntry& entry,
                                                     std::istream& stream,
                                                     const std::string& destination) {
    CoreSystem::ArchiveManager archive(stream, static_cast<std::int64_t>(entry.offset), entry.size);
    // The CRC of the bytes extracted is always taken: the package may have changed since its
    // data was verified, and what was written must be what was checked. A sealed package's
    // data is also held to the digest its seal check saw.
    std::optional<PackageSeal::Hasher> hasher;
    if (entry.sealedData) {
        hasher.emplace(entry.sealedData->hashBefore);
        archive.observeData([&hasher](std::span<const char> piece) { hasher->update(piece); });
    }
    const std::uint32_t crc = archive.extract(true, destination.c_str(), archiveProgress,
                                              entryStarted, entryFinished, this);
    if (crc != entry.crc || (hasher && !entry.sealedData->reachedBy(*hasher))) {
        logDataChanged(*log);
        return InstallStatus::corruptedTarFile;
    }
    switch (archive.status()) {
        case CoreSystem::ArchiveStatus::clean:
            return InstallStatus::success;
        case CoreSystem::ArchiveStatus::writeFailed:
            return InstallStatus::failure;
        case CoreSystem::ArchiveStatus::corruptArchive:
        case CoreSystem::ArchiveStatus::inputTruncated:
        case CoreSystem::ArchiveStatus::refusedMember:
            return InstallStatus::corruptedTarFile;
    }
    return InstallStatus::corruptedTarFile;
}

void ComponentInstallerBase::logDataChanged(InstallLog& installLog) {
    installLog.line("Error: component data changed since it was verified");
}

void ComponentInstallerBase::reportAtStart(const std::string& text) {
    if (ui != nullptr) {
        ui->reportProgress(static_cast<int>(startPercent), text);
    }
}

void ComponentInstallerBase::reportAtMiddle(const ComponentEntry& entry, const std::string& text) {
    // The size is halved as a whole number first, as the unit always has.
    const std::uint64_t halfSize = entry.size / 2;
    const float middle = startPercent + static_cast<float>(halfSize) * percentPerByte;
    if (ui != nullptr) {
        ui->reportProgress(static_cast<int>(middle), text);
    }
}

void ComponentInstallerBase::reportAtEnd(const ComponentEntry& entry, const std::string& text) {
    const float end = startPercent + static_cast<float>(entry.size) * percentPerByte;
    if (ui != nullptr) {
        ui->reportProgress(static_cast<int>(end), text);
    }
}

}  // namespace Boot
