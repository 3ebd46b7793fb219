#pragma once

#include <string>

namespace Platform {

// Links in the process manager's path space. On the host a link is a symbolic link at
// UNIT_ROOT + link path pointing to UNIT_ROOT + target path; both arguments are unit paths.
class ProcessManager {
public:
    // Creates or replaces the link; 0 on success, -1 with errno set otherwise.
    [[nodiscard]] static int symlink(const std::string& unitTargetPath,
                                     const std::string& unitLinkPath);
};

}  // namespace Platform
