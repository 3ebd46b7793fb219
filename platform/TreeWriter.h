#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace Platform {

// Creates files, folders and links beneath one destination folder, working relative to open
// folder descriptors. Every folder on the way to an entry is opened without following symbolic
// links, so nothing is ever written through a link, and the folders of the last entry stay open,
// so that the next entry in the same folder costs only the calls that create it.
//
// Entries are made as an extraction makes them: missing folders on the way are created, whatever
// stands in an entry's place is replaced (a folder only when it is empty), permissions are the
// given ones less the umask, and times are restored; a folder's times are restored by `finish`,
// because creating its entries changes them.
//
// Paths are relative to the destination, with "/" between components; empty and "." components
// are skipped, and a ".." component is refused as invalid.
class TreeWriter {
public:
    enum class [[nodiscard]] Outcome{
        done,
        throughLink,  // a folder on the way is a symbolic link; nothing was written
        failed,       // the file system refused; `error()` tells why
    };

    // Access and modification times; a time with tv_nsec UTIME_NOW is set to the current time.
    struct Times {
        timespec access{0, UTIME_NOW};
        timespec modification{0, UTIME_NOW};
    };

    // Opens the destination folder, creating it and its missing parents (links on the way to the
    // destination itself are followed: it is the caller's). An empty text is the current folder.
    explicit TreeWriter(const std::string& destinationFolder);
    TreeWriter(const TreeWriter&) = delete;
    TreeWriter& operator=(const TreeWriter&) = delete;
    TreeWriter(TreeWriter&&) = delete;
    TreeWriter& operator=(TreeWriter&&) = delete;
    ~TreeWriter();

    Outcome makeFolder(std::string_view path, mode_t mode, const Times& times);
    // A file is opened, written in pieces at their offsets, then closed: closing sets its size
    // (a hole at the end is kept) and times and, for a file of 64 KiB or more, starts writing it
    // back to storage. Until then no other entry may be made.
    Outcome openFile(std::string_view path, mode_t mode);
    Outcome writeFile(const void* data, std::size_t size, std::int64_t offset);
    Outcome closeFile(std::int64_t size, const Times& times);
    // Closes an open file after a failure, leaving what was written.
    void abandonFile();
    Outcome makeSymbolicLink(std::string_view path, const std::string& target, const Times& times);
    // Links `path` to the entry at `existingPath`, both beneath the destination.
    Outcome makeHardLink(std::string_view path, std::string_view existingPath);
    // Restores the times and permissions of the folders made. Returns failed when one could not
    // be restored; the entries themselves are all in place.
    Outcome finish();

    // The system error number of the last failure.
    int error() const { return error_; }

private:
    struct OpenFolder {
        std::string name;
        int descriptor;
    };
    struct FolderFixup {
        std::string path;
        mode_t mode;
        bool restoreMode;
        Times times;
    };

    // Opens every folder of `path` but the last component, which goes to `name`.
    Outcome openParentOf(std::string_view path, std::string& name);
    Outcome openFolderChain(const std::vector<std::string_view>& folders);
    void closeFoldersFrom(std::size_t depth);
    int currentFolder() const { return openFolders_.back().descriptor; }
    Outcome fail();

    std::vector<OpenFolder> openFolders_;  // the destination first
    std::vector<FolderFixup> fixups_;
    int file_ = -1;
    std::int64_t fileEnd_ = 0;
    mode_t umask_ = 0;
    int error_ = 0;
};

}  // namespace Platform
