#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "platform/Process.h"

// Trees of files that plain paths cannot reach, and entries that cannot be removed, for the
// tests of the file-tree walks.
namespace TestSupport {

// Levels of a tree deep enough that its paths pass PATH_MAX (4096) several times over.
constexpr int deepTreeLevels = 3000;

// Makes the folder `hostPath` (its parent must exist) with a chain of `levels` folders named
// "level" beneath it, each folder holding a file named "file". Built relative to descriptors,
// since plain paths stop at PATH_MAX.
inline bool makeDeepTree(const std::string& hostPath, int levels) {
    if (mkdir(hostPath.c_str(), 0755) != 0) {
        return false;
    }
    int folder = open(hostPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; folder >= 0; ++level) {
        const int file = openat(folder, "file", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (file < 0) {
            break;
        }
        close(file);
        if (level == levels) {
            close(folder);
            return true;
        }
        const int next = mkdirat(folder, "level", 0755) == 0
                             ? openat(folder, "level", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                             : -1;
        close(folder);
        folder = next;
    }
    if (folder >= 0) {
        close(folder);
    }
    return false;
}

// Removes with `rm -rf` what a test left at `hostPath` when it ends, whatever the depth, so that
// cleaning up does not depend on the walks under test.
class TreeCleanup {
public:
    explicit TreeCleanup(std::string hostPath) : path_(std::move(hostPath)) {}
    TreeCleanup(const TreeCleanup&) = delete;
    TreeCleanup& operator=(const TreeCleanup&) = delete;
    TreeCleanup(TreeCleanup&&) = delete;
    TreeCleanup& operator=(TreeCleanup&&) = delete;
    // What cannot be removed stays under /tmp, where it only takes room.
    ~TreeCleanup() { static_cast<void>(Platform::Process::system("rm -rf -- '" + path_ + "'")); }

private:
    std::string path_;
};

// Marks an entry immutable while this object lives (the flag `chattr +i` sets): it cannot be
// removed, changed or re-owned, not even by root, and the folder holding it cannot be emptied.
// Needs a file system with the flag and the right to set it; `applied` says whether it took.
class ImmutableEntry {
public:
    explicit ImmutableEntry(const std::string& hostPath)
        : descriptor_(open(hostPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)) {
        applied_ = descriptor_ >= 0 && setImmutable(true);
    }
    ImmutableEntry(const ImmutableEntry&) = delete;
    ImmutableEntry& operator=(const ImmutableEntry&) = delete;
    ImmutableEntry(ImmutableEntry&&) = delete;
    ImmutableEntry& operator=(ImmutableEntry&&) = delete;
    ~ImmutableEntry() {
        if (applied_) {
            setImmutable(false);
        }
        if (descriptor_ >= 0) {
            close(descriptor_);
        }
    }

    bool applied() const { return applied_; }

private:
    bool setImmutable(bool immutable) const {
        int flags = 0;
        if (ioctl(descriptor_, FS_IOC_GETFLAGS, &flags) != 0) {
            return false;
        }
        flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        return ioctl(descriptor_, FS_IOC_SETFLAGS, &flags) == 0;
    }

    int descriptor_;
    bool applied_ = false;
};

}  // namespace TestSupport
