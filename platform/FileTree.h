#pragma once

#include <sys/types.h>

#include <string>

namespace Platform {

// Walks over a tree of files (a folder with everything beneath it, or a single entry) working
// relative to open folder descriptors, so that no path length limit applies however deep the
// tree. Every walk:
// - handles the contents of a folder before the folder itself;
// - stays on the file system that holds `hostPath`: an entry on another device (a mount point)
//   is left alone with everything beneath it;
// - never follows a symbolic link, `hostPath` itself included (a trailing slash does not make a
//   link count as its target);
// - keeps a bounded number of descriptors open, whatever the depth;
// - goes on past an entry that fails, and returns true only when every entry was handled.
// A `hostPath` that does not exist is nothing to do: the walk returns true.
class FileTree {
public:
    // Removes the tree. A link is removed itself.
    [[nodiscard]] static bool remove(const std::string& hostPath);
    // Sets the permission bits of every entry but the symbolic links, which keep theirs.
    [[nodiscard]] static bool changeMode(const std::string& hostPath, mode_t mode);
    // Sets owner and group of every entry; a link is re-owned itself.
    [[nodiscard]] static bool changeOwner(const std::string& hostPath, uid_t owner, gid_t group);
};

}  // namespace Platform
