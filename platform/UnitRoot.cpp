#include "platform/UnitRoot.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace Platform {

bool UnitRoot::check(std::string& message) {
    const char* root = std::getenv(environmentVariable);
    if (root == nullptr || *root == '\0') {
        message = "UNIT_ROOT is not set: it must name the folder that stands for the unit's root";
        return false;
    }
    if (std::string reason; !checkName(root, reason)) {
        message = "UNIT_ROOT " + reason;
        return false;
    }
    struct stat status {};
    if (stat(root, &status) != 0 || !S_ISDIR(status.st_mode)) {
        message = std::string("UNIT_ROOT '") + root + "' is not an existing directory";
        return false;
    }
    return true;
}

bool UnitRoot::checkName(std::string_view root, std::string& message) {
    const auto* control = std::find_if(root.begin(), root.end(), [](char character) {
        const auto byte = static_cast<unsigned char>(character);
        return byte < 0x20 || byte == 0x7F;
    });
    if (control != root.end()) {
        constexpr std::string_view hexDigits = "0123456789ABCDEF";
        const auto byte = static_cast<unsigned char>(*control);
        message = std::string("holds the control character 0x") + hexDigits[byte >> 4U] +
                  hexDigits[byte & 0x0FU] + " at offset " + std::to_string(control - root.begin()) +
                  ", which would break the log lines and commands built from its paths";
        return false;
    }
    if (!root.starts_with('/')) {
        message = "'" + std::string(root) + "' is not an absolute path";
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
