#include "platform/FileSync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

void FileSync::startWriteback(const std::string& hostPath) {
    // Non-blocking, so that a named pipe found at the path cannot stall the caller; only a regular
    // file has data to write back.
    const int handle =
        open(hostPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (handle < 0) {
        return;
    }
    struct stat status {};
    if (fstat(handle, &status) == 0 && S_ISREG(status.st_mode)) {
        startWriteback(handle);
    }
    close(handle);
}

void FileSync::startWriteback(int descriptor) {
    sync_file_range(descriptor, 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool FileSync::syncFileSystem(const std::string& hostPath) {
    const int handle = open(hostPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (handle < 0) {
        return false;
    }
    const bool synced = syncfs(handle) == 0;
    close(handle);
    return synced;
}

}  // namespace Platform
