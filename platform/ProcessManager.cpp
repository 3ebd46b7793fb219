#include "platform/ProcessManager.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "platform/UnitRoot.h"

namespace Platform {

int ProcessManager::symlink(const std::string& unitTargetPath, const std::string& unitLinkPath) {
    const std::string target = UnitRoot::hostPath(unitTargetPath);
    const std::string link = UnitRoot::hostPath(unitLinkPath);
    // Build the new link beside the old one and rename it over, so the name never disappears.
    // The unit's process manager needs no folders on the way to a link; the host does.
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(link).parent_path(), ignored);
    const std::string temporary = link + ".link-" + std::to_string(getpid());
    std::remove(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0) {
        return -1;
    }
    if (std::rename(temporary.c_str(), link.c_str()) != 0) {
        const int error = errno;
        std::remove(temporary.c_str());
        errno = error;
        return -1;
    }
    return 0;
}

}  // namespace Platform
