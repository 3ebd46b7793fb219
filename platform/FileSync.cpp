#include "platform/FileSync.h"

#include <fcntl.h>
#include <unistd.h>

namespace Platform {

void FileSync::startWriteback(const std::string& hostPath) {
    const int handle =
        open(hostPath.c_str(),
             O_RDONLY | O_NOFOLLOW | O_CLOEXEC);  // NOLINT(cppcoreguidelines-pro-type-vararg)
    if (handle >= 0) {
        sync_file_range(handle, 0, 0, SYNC_FILE_RANGE_WRITE);
        close(handle);
    }
}

bool FileSync::syncFileSystem(const std::string& hostPath) {
    const int handle =
        open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);  // NOLINT(cppcoreguidelines-pro-type-vararg)
    if (handle < 0) {
        return false;
    }
    const bool synced = syncfs(handle) == 0;
    close(handle);
    return synced;
}

}  // namespace Platform
