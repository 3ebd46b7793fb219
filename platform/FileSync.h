#pragma once

#include <string>

namespace Platform {

// Getting written files onto the flash. Syncing file by file waits for one flush of the
// storage per file; an install writes thousands of files, so the loader starts each file's
// writeback as soon as it is written and then waits once for the whole file system.
class FileSync {
public:
    // Starts writing the file's data to storage without waiting for it. Links are not followed,
    // and anything but a regular file is left alone without blocking.
    static void startWriteback(const std::string& hostPath);
    // The same for a regular file open for writing.
    static void startWriteback(int descriptor);
    // Writes everything not yet stored of the file system that holds `hostPath` (the data and
    // metadata of every file on it, as if each had been fsynced) and waits for it.
    [[nodiscard]] static bool syncFileSystem(const std::string& hostPath);
};

}  // namespace Platform
