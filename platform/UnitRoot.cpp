#include "platform/UnitRoot.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

namespace Platform {

bool UnitRoot::check(std::string& message) {
    const char* root = std::getenv(environmentVariable);
    if (root == nullptr || *root == '\0') {
        message = "UNIT_ROOT is not set: it must name the folder that stands for the unit's root";
        return false;
    }
    struct stat status {};
    if (stat(root, &status) != 0 || !S_ISDIR(status.st_mode)) {
        message = std::string("UNIT_ROOT '") + root + "' is not an existing directory";
        return false;
    }
    return true;
}

std::string UnitRoot::prefix() {
    const char* root = std::getenv(environmentVariable);
    if (root == nullptr || *root == '\0') {
        std::fputs("UNIT_ROOT is not set; refusing to touch the host's root\n", stderr);
        std::abort();
    }
    std::string result(root);
    while (!result.empty() && result.back() == '/') {
        result.pop_back();
    }
    return result;
}

std::string UnitRoot::hostPath(std::string_view unitPath) {
    if (unitPath.empty() || unitPath.front() != '/') {
        return std::string(unitPath);
    }
    return prefix().append(unitPath);
}

std::string UnitRoot::unitPath(std::string_view hostPath) {
    const std::string root = prefix();
    if (root.empty()) {
        return std::string(hostPath);
    }
    if (hostPath.starts_with(root) &&
        (hostPath.size() == root.size() || hostPath[root.size()] == '/')) {
        std::string result(hostPath.substr(root.size()));
        return result.empty() ? "/" : result;
    }
    return std::string(hostPath);
}

}  // namespace Platform
