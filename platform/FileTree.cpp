#include "platform/FileTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

namespace Platform {
namespace {

// Folders held open on the way down. Deeper, the highest open one is closed, and opened again
// through ".." of the folder beneath it when the walk climbs back.
constexpr std::size_t maximumOpenFolders = 64;

enum class Kind : char { folder = 'd', link = 'l', other = 'f', unknown = '?' };

Kind kindOfMode(mode_t mode) {
    if (S_ISDIR(mode)) {
        return Kind::folder;
    }
    return S_ISLNK(mode) ? Kind::link : Kind::other;
}

// The kind the folder read reports, which spares a stat of every entry where the file system
// supplies it.
Kind kindOfDirectoryType(unsigned char type) {
    switch (type) {
        case DT_DIR:
            return Kind::folder;
        case DT_LNK:
            return Kind::link;
        case DT_UNKNOWN:
            return Kind::unknown;
        default:
            return Kind::other;
    }
}

// True when a call that returned `result` left its entry handled: done, or already gone.
bool handled(int result) {
    return result == 0 || errno == ENOENT;
}

// The folder that holds the entry `path` names, and the entry's name in it. Trailing slashes
// are dropped, so that a link named with one is still the link.
std::pair<std::string, std::string> splitPath(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    if (path == "/") {
        return {"/", "."};
    }
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Reads the names in the folder open as `descriptor`, each as its kind, the name and a NUL;
// false when the folder could not be read whole.
bool readListing(int descriptor, std::string& listing) {
    // The stream takes a descriptor of its own, so that the folder's stays open once it is read.
    const int reading = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (reading < 0) {
        return false;
    }
    DIR* stream = fdopendir(reading);
    if (stream == nullptr) {
        close(reading);
        return false;
    }
    bool complete = true;
    while (true) {
        errno = 0;
        const dirent* entry = readdir(stream);
        if (entry == nullptr) {
            complete = errno == 0;
            break;
        }
        const std::string_view name(static_cast<const char*>(entry->d_name));
        if (name == "." || name == "..") {
            continue;
        }
        listing += static_cast<char>(kindOfDirectoryType(entry->d_type));
        listing += name;
        listing += '\0';
    }
    closedir(stream);
    return complete;
}

// A mount point in /proc/self/mountinfo, where a space, tab, newline or backslash is written as a
// backslash and three octal digits.
std::string unescapedMountPoint(std::string_view field) {
    std::string path;
    std::size_t index = 0;
    while (index < field.size()) {
        const std::string_view digits = field.substr(index + 1, 3);
        const bool escaped = field[index] == '\\' && digits.size() == 3 &&
                             std::all_of(digits.begin(), digits.end(),
                                         [](char digit) { return digit >= '0' && digit <= '7'; });
        if (escaped) {
            path += static_cast<char>(((digits[0] - '0') << 6) | ((digits[1] - '0') << 3) |
                                      (digits[2] - '0'));
            index += 4;
        } else {
            path += field[index];
            ++index;
        }
    }
    return path;
}

// Whether another file system is mounted anywhere beneath `hostPath` (a file can be mounted on
// its own, which a folder listing does not show). True when that cannot be told.
bool hasMountsBeneath(const std::string& hostPath) {
    char* resolved = realpath(hostPath.c_str(), nullptr);
    if (resolved == nullptr) {
        return true;
    }
    std::string root(resolved);
    free(resolved);
    if (root.back() != '/') {
        root += '/';
    }
    std::ifstream mounts("/proc/self/mountinfo");
    if (!mounts) {
        return true;
    }
    std::string line;
    while (std::getline(mounts, line)) {
        // The fifth field is the mount point.
        std::istringstream fields(line);
        std::string field;
        for (int index = 0; index < 5 && fields >> field; ++index) {
        }
        if (fields && unescapedMountPoint(field).starts_with(root)) {
            return true;
        }
    }
    return false;
}

// What a walk does to each entry.
class Action {
public:
    Action() = default;
    Action(const Action&) = delete;
    Action& operator=(const Action&) = delete;
    Action(Action&&) = delete;
    Action& operator=(Action&&) = delete;
    virtual ~Action() = default;

    // Whether every entry is looked at before it is handled, even when the folder read gave its
    // kind, when another file system is mounted beneath the tree: only that shows the device of
    // an entry other than a folder (a file can be mounted on its own).
    virtual bool looksAtEveryEntry() const = 0;
    // An entry other than a folder, `name` in the open folder `folder`.
    virtual bool entry(int folder, const char* name, Kind kind) const = 0;
    // A folder once its contents are done: `parent` holds it as `name`, `self` is open on it.
    virtual bool folder(int parent, const char* name, int self) const = 0;
};

// An entry on another file system is not looked at: unlinking it fails and leaves it alone.
class Removal final : public Action {
public:
    bool looksAtEveryEntry() const override { return false; }
    bool entry(int folder, const char* name, Kind /*kind*/) const override {
        return handled(unlinkat(folder, name, 0));
    }
    bool folder(int parent, const char* name, int /*self*/) const override {
        return handled(unlinkat(parent, name, AT_REMOVEDIR));
    }
};

class ModeChange final : public Action {
public:
    explicit ModeChange(mode_t mode) : mode_(mode) {}
    bool looksAtEveryEntry() const override { return true; }
    // Linux has no chmod that refuses a link; the kind looked up just before decides.
    bool entry(int folder, const char* name, Kind kind) const override {
        return kind == Kind::link || handled(fchmodat(folder, name, mode_, 0));
    }
    bool folder(int /*parent*/, const char* /*name*/, int self) const override {
        return fchmod(self, mode_) == 0;
    }

private:
    mode_t mode_;
};

class OwnerChange final : public Action {
public:
    OwnerChange(uid_t owner, gid_t group) : owner_(owner), group_(group) {}
    bool looksAtEveryEntry() const override { return true; }
    bool entry(int folder, const char* name, Kind /*kind*/) const override {
        return handled(fchownat(folder, name, owner_, group_, AT_SYMLINK_NOFOLLOW));
    }
    bool folder(int /*parent*/, const char* /*name*/, int self) const override {
        return fchown(self, owner_, group_) == 0;
    }

private:
    uid_t owner_;
    gid_t group_;
};

// One walk over a tree, contents before their folder, without recursion.
class Walk {
public:
    explicit Walk(const Action& action) : action_(action) {}
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;
    Walk(Walk&&) = delete;
    Walk& operator=(Walk&&) = delete;
    ~Walk() {
        closeFolders();
        if (topParent_ >= 0) {
            close(topParent_);
        }
    }

    bool run(const std::string& hostPath) {
        const auto [parentPath, name] = splitPath(hostPath);
        topParent_ = open(parentPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (topParent_ < 0) {
            return errno == ENOENT;
        }
        struct stat status {};
        if (fstatat(topParent_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            return errno == ENOENT;
        }
        device_ = status.st_dev;
        // Without a mount beneath, the folder listings' kinds suffice.
        looksAtEveryEntry_ = action_.looksAtEveryEntry() && hasMountsBeneath(hostPath);
        const Kind kind = kindOfMode(status.st_mode);
        if (kind != Kind::folder) {
            return action_.entry(topParent_, name.c_str(), kind);
        }
        note(descend(topParent_, name));
        while (!folders_.empty()) {
            step();
        }
        return allHandled_;
    }

private:
    // A folder on the way down from the top.
    struct Folder {
        int descriptor;  // -1 while closed to keep the number open bounded
        ino_t inode;
        std::string name;     // in its parent
        std::string listing;  // as readListing leaves it
        std::size_t next;     // offset of the next entry in listing
    };

    void note(bool entryHandled) { allHandled_ = allHandled_ && entryHandled; }

    // Handles the next entry of the deepest folder, or that folder itself once it has no more.
    void step() {
        Folder& current = folders_.back();
        if (current.next < current.listing.size()) {
            auto kind = static_cast<Kind>(current.listing[current.next]);
            const char* name = &current.listing[current.next + 1];
            current.next += 1 + std::strlen(name) + 1;
            if (kind == Kind::unknown || looksAtEveryEntry_) {
                struct stat status {};
                if (fstatat(current.descriptor, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
                    note(errno == ENOENT);
                    return;
                }
                if (status.st_dev != device_) {
                    return;
                }
                kind = kindOfMode(status.st_mode);
            }
            // A deque keeps `current` and `name` in place while a folder is added.
            note(kind == Kind::folder ? descend(current.descriptor, name)
                                      : action_.entry(current.descriptor, name, kind));
            return;
        }
        const int parent = parentOf(folders_.size() - 1);
        if (parent < 0) {
            // The way back up is lost (the tree was moved meanwhile): nothing above is safe.
            allHandled_ = false;
            closeFolders();
            return;
        }
        note(action_.folder(parent, current.name.c_str(), current.descriptor));
        close(current.descriptor);
        folders_.pop_back();
    }

    // Opens the folder `name` in `parent` and reads its names; true when that worked, when the
    // folder is gone, or when it is another file system's (then it is left alone).
    bool descend(int parent, const std::string& name) {
        const int descriptor =
            openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (descriptor < 0) {
            return errno == ENOENT;
        }
        struct stat status {};
        if (fstat(descriptor, &status) != 0) {
            close(descriptor);
            return false;
        }
        if (status.st_dev != device_) {
            close(descriptor);
            return true;
        }
        Folder& folder = folders_.emplace_back(Folder{descriptor, status.st_ino, name, {}, 0});
        const bool listed = readListing(descriptor, folder.listing);
        if (folders_.size() - firstOpen_ > maximumOpenFolders) {
            close(folders_[firstOpen_].descriptor);
            folders_[firstOpen_].descriptor = -1;
            ++firstOpen_;
        }
        return listed;
    }

    // The open folder that holds folders_[index]; -1 when it cannot be opened again as the same
    // folder it was on the way down.
    int parentOf(std::size_t index) {
        if (index == 0) {
            return topParent_;
        }
        Folder& parent = folders_[index - 1];
        if (parent.descriptor < 0) {
            const int reopened =
                openat(folders_[index].descriptor, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (reopened < 0) {
                return -1;
            }
            struct stat status {};
            if (fstat(reopened, &status) != 0 || status.st_dev != device_ ||
                status.st_ino != parent.inode) {
                close(reopened);
                return -1;
            }
            parent.descriptor = reopened;
            firstOpen_ = index - 1;
        }
        return parent.descriptor;
    }

    void closeFolders() {
        for (const Folder& folder : folders_) {
            if (folder.descriptor >= 0) {
                close(folder.descriptor);
            }
        }
        folders_.clear();
        firstOpen_ = 0;
    }

    const Action& action_;
    std::deque<Folder> folders_;
    // folders_ from this index on are open; those above it were closed on the way down.
    std::size_t firstOpen_ = 0;
    int topParent_ = -1;
    dev_t device_ = 0;
    bool looksAtEveryEntry_ = true;
    bool allHandled_ = true;
};

}  // namespace

bool FileTree::remove(const std::string& hostPath) {
    const Removal removal;
    return Walk(removal).run(hostPath);
}

bool FileTree::changeMode(const std::string& hostPath, mode_t mode) {
    const ModeChange change(mode);
    return Walk(change).run(hostPath);
}

bool FileTree::changeOwner(const std::string& hostPath, uid_t owner, gid_t group) {
    const OwnerChange change(owner, group);
    return Walk(change).run(hostPath);
}

}  // namespace Platform
