#include "platform/TreeWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/FileSync.h"
#include "platform/PathComponents.h"

namespace Platform {
namespace {

// Deeper paths are refused rather than holding a descriptor per level.
constexpr std::size_t maximumDepth = 256;
// The set-user, set-group and sticky bits are never restored.
constexpr mode_t permissionBits = 0777;
constexpr std::int64_t smallestWrittenBackFile = std::int64_t{64} * 1024;
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Removes whatever is at `name` in `folder`, a folder only when it is empty.
bool removeEntry(int folder, const std::string& name) {
    struct stat status {};
    if (fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT;
    }
    return unlinkat(folder, name.c_str(), S_ISDIR(status.st_mode) ? AT_REMOVEDIR : 0) == 0;
}

// Runs `create`, which makes `name` in `folder` and says whether that worked; when something
// stands there already, that is removed and `create` runs once more.
template <typename Create>
bool createReplacing(int folder, const std::string& name, Create create) {
    return create() || (errno == EEXIST && removeEntry(folder, name) && create());
}

std::array<timespec, 2> accessAndModification(const TreeWriter::Times& times) {
    return {times.access, times.modification};
}

int openDestination(const std::string& folder) {
    const char* path = folder.empty() ? "." : folder.c_str();
    int descriptor = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0 && errno == ENOENT) {
        std::error_code error;
        std::filesystem::create_directories(path, error);
        descriptor = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    return descriptor;
}

}  // namespace

TreeWriter::TreeWriter(const std::string& destinationFolder) {
    const int destination = openDestination(destinationFolder);
    if (destination < 0) {
        error_ = errno;
        return;
    }
    openFolders_.push_back({"", destination});
}

TreeWriter::~TreeWriter() {
    abandonFile();
    closeFoldersFrom(0);
}

TreeWriter::Outcome TreeWriter::fail() {
    error_ = errno;
    return Outcome::failed;
}

void TreeWriter::closeFoldersFrom(std::size_t depth) {
    while (openFolders_.size() > depth) {
        close(openFolders_.back().descriptor);
        openFolders_.pop_back();
    }
}

TreeWriter::Outcome TreeWriter::openFolderChain(const std::vector<std::string_view>& folders) {
    if (openFolders_.empty()) {
        return Outcome::failed;  // error_ holds why the destination could not be opened
    }
    if (folders.size() >= maximumDepth) {
        errno = ENAMETOOLONG;
        return fail();
    }
    // Keep the folders that the last entry shared with this one.
    std::size_t kept = 0;
    while (kept < folders.size() && kept + 1 < openFolders_.size() &&
           openFolders_[kept + 1].name == folders[kept]) {
        ++kept;
    }
    closeFoldersFrom(kept + 1);
    for (std::size_t index = kept; index < folders.size(); ++index) {
        const std::string name(folders[index]);
        int descriptor = openat(currentFolder(), name.c_str(), folderFlags);
        if (descriptor < 0 && errno == ENOENT) {
            if (mkdirat(currentFolder(), name.c_str(), 0777) != 0 && errno != EEXIST) {
                return fail();
            }
            descriptor = openat(currentFolder(), name.c_str(), folderFlags);
        }
        if (descriptor < 0) {
            // A link there shows as ELOOP or, with O_DIRECTORY, as ENOTDIR.
            const int openError = errno;
            struct stat status {};
            if ((openError == ELOOP || openError == ENOTDIR) &&
                fstatat(currentFolder(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(status.st_mode)) {
                error_ = ELOOP;
                return Outcome::throughLink;
            }
            errno = openError;
            return fail();
        }
        openFolders_.push_back({name, descriptor});
    }
    return Outcome::done;
}

TreeWriter::Outcome TreeWriter::openParentOf(std::string_view path, std::string& name) {
    std::vector<std::string_view> components;
    bool climbs = false;
    forEachPathComponent(path, [&](std::string_view component) {
        climbs |= component == "..";
        components.push_back(component);
    });
    if (climbs || components.empty()) {
        errno = EINVAL;
        return fail();
    }
    name = std::string(components.back());
    components.pop_back();
    return openFolderChain(components);
}

TreeWriter::Outcome TreeWriter::makeFolder(std::string_view path, mode_t mode, const Times& times) {
    std::string name;
    if (const Outcome opened = openParentOf(path, name); opened != Outcome::done) {
        return opened;
    }
    // The owner may always write into it while its entries are made; the stored permissions
    // follow in `finish`.
    const mode_t creationMode = (mode & permissionBits) | S_IRWXU;
    bool created = mkdirat(currentFolder(), name.c_str(), creationMode) == 0;
    if (!created && errno == EEXIST) {
        struct stat status {};
        if (fstatat(currentFolder(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            return fail();
        }
        if (!S_ISDIR(status.st_mode)) {
            if (!removeEntry(currentFolder(), name) ||
                mkdirat(currentFolder(), name.c_str(), creationMode) != 0) {
                return fail();
            }
            created = true;
        }
    } else if (!created) {
        return fail();
    }
    // An existing folder keeps its permissions.
    fixups_.push_back({std::string(path), mode, created && (mode & S_IRWXU) != S_IRWXU, times});
    return Outcome::done;
}

TreeWriter::Outcome TreeWriter::openFile(std::string_view path, mode_t mode) {
    std::string name;
    if (const Outcome opened = openParentOf(path, name); opened != Outcome::done) {
        return opened;
    }
    constexpr int fileFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    const mode_t creationMode = mode & permissionBits;
    const bool opened = createReplacing(currentFolder(), name, [&] {
        file_ = openat(currentFolder(), name.c_str(), fileFlags, creationMode);
        return file_ >= 0;
    });
    if (!opened) {
        return fail();
    }
    fileEnd_ = 0;
    return Outcome::done;
}

TreeWriter::Outcome TreeWriter::writeFile(const void* data, std::size_t size, std::int64_t offset) {
    const auto* bytes = static_cast<const char*>(data);
    std::size_t written = 0;
    while (written < size) {
        const ssize_t result = pwrite(file_, bytes + written, size - written,
                                      static_cast<off_t>(offset) + static_cast<off_t>(written));
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail();
        }
        if (result == 0) {
            errno = ENOSPC;
            return fail();
        }
        written += static_cast<std::size_t>(result);
    }
    fileEnd_ = std::max(fileEnd_, offset + static_cast<std::int64_t>(size));
    return Outcome::done;
}

TreeWriter::Outcome TreeWriter::closeFile(std::int64_t size, const Times& times) {
    Outcome outcome = Outcome::done;
    if (size > fileEnd_ && ftruncate(file_, static_cast<off_t>(size)) != 0) {
        outcome = fail();
    }
    const std::array<timespec, 2> restored = accessAndModification(times);
    if (outcome == Outcome::done && futimens(file_, restored.data()) != 0) {
        outcome = fail();
    }
    // A small file's writeback is left to the sync of the whole file system at the end, which
    // writes it with its neighbours; starting it alone would cost a call per file.
    if (outcome == Outcome::done && fileEnd_ >= smallestWrittenBackFile) {
        FileSync::startWriteback(file_);
    }
    if (close(file_) != 0 && outcome == Outcome::done) {
        outcome = fail();
    }
    file_ = -1;
    return outcome;
}

void TreeWriter::abandonFile() {
    if (file_ >= 0) {
        close(file_);
        file_ = -1;
    }
}

TreeWriter::Outcome TreeWriter::makeSymbolicLink(std::string_view path, const std::string& target,
                                                 const Times& times) {
    std::string name;
    if (const Outcome opened = openParentOf(path, name); opened != Outcome::done) {
        return opened;
    }
    const bool linked = createReplacing(currentFolder(), name, [&] {
        return symlinkat(target.c_str(), currentFolder(), name.c_str()) == 0;
    });
    const std::array<timespec, 2> restored = accessAndModification(times);
    if (!linked ||
        utimensat(currentFolder(), name.c_str(), restored.data(), AT_SYMLINK_NOFOLLOW) != 0) {
        return fail();
    }
    return Outcome::done;
}

TreeWriter::Outcome TreeWriter::makeHardLink(std::string_view path, std::string_view existingPath) {
    std::string existingName;
    if (const Outcome opened = openParentOf(existingPath, existingName); opened != Outcome::done) {
        return opened;
    }
    const int existingFolder = dup(currentFolder());
    if (existingFolder < 0) {
        return fail();
    }
    std::string name;
    Outcome outcome = openParentOf(path, name);
    // The entry itself is linked, never what a symbolic link there points to.
    const auto link = [&] {
        return linkat(existingFolder, existingName.c_str(), currentFolder(), name.c_str(), 0) == 0;
    };
    if (outcome == Outcome::done && !createReplacing(currentFolder(), name, link)) {
        outcome = fail();
    }
    close(existingFolder);
    return outcome;
}

TreeWriter::Outcome TreeWriter::finish() {
    Outcome outcome = Outcome::done;
    // The deepest folders first: setting a folder's times must come after its subfolders',
    // whose changes would otherwise move them again.
    std::sort(
        fixups_.begin(), fixups_.end(),
        [](const FolderFixup& left, const FolderFixup& right) { return left.path > right.path; });
    for (const FolderFixup& fixup : fixups_) {
        std::string name;
        if (openParentOf(fixup.path, name) != Outcome::done) {
            outcome = Outcome::failed;
            continue;
        }
        const int folder = openat(currentFolder(), name.c_str(), folderFlags);
        if (folder < 0) {
            outcome = fail();
            continue;
        }
        const std::array<timespec, 2> restored = accessAndModification(fixup.times);
        struct stat status {};
        if (fixup.restoreMode && fstat(folder, &status) == 0) {
            // The permissions it was made with less the owner's that were only added for the
            // extraction, so the umask stays applied.
            const mode_t mode = status.st_mode & permissionBits & ~(S_IRWXU & ~fixup.mode);
            if (fchmod(folder, mode) != 0) {
                outcome = fail();
            }
        }
        if (futimens(folder, restored.data()) != 0) {
            outcome = fail();
        }
        close(folder);
    }
    fixups_.clear();
    return outcome;
}

}  // namespace Platform
