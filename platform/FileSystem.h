#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Platform {

// Looking at and changing entries of the file system by path.
class FileSystem {
public:
    enum class EntryKind { none, regularFile, directory, symbolicLink, other };

    struct EntryStatus {
        int error = 0;  // the errno value when the entry could not be examined, else 0
        EntryKind kind = EntryKind::none;
        std::int64_t size = 0;

        bool examined() const { return error == 0; }
        // Nothing is at the path (the folders above it exist).
        bool missing() const;
    };

    // The entry the path leads to, with every link followed.
    [[nodiscard]] static EntryStatus status(const std::string& hostPath);
    // The entry at the path itself: a symbolic link is not followed.
    [[nodiscard]] static EntryStatus linkStatus(const std::string& hostPath);
    // Something is at the path, with every link followed.
    [[nodiscard]] static bool exists(const std::string& hostPath);
    // The calling process may write to the entry (for a folder: create entries in it).
    [[nodiscard]] static bool isWritable(const std::string& hostPath);

    [[nodiscard]] static bool changeMode(const std::string& hostPath, unsigned mode);
    // Creates one folder with `mode` less the umask; its parent must exist.
    [[nodiscard]] static bool makeDirectory(const std::string& hostPath, unsigned mode);
    // Removes a file or a link (never a folder).
    [[nodiscard]] static bool removeFile(const std::string& hostPath);

    // The names of the folder's entries in the folder's own order, "." and ".." included;
    // nothing when the folder cannot be read.
    [[nodiscard]] static std::optional<std::vector<std::string>> listDirectory(
        const std::string& hostPath);

    // The last component and what comes before it, as basename(3) and dirname(3) give them.
    static std::string baseName(const std::string& path);
    static std::string directoryName(const std::string& path);
};

}  // namespace Platform
