#include "sim/tools/ToolCall.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/UnitRoot.h"
#include "sim/common/StandinProcess.h"
#include "sim/tools/ToolTable.h"

namespace Sim::Tools {

namespace {

namespace fs = std::filesystem;

// The path with every symbolic link and "." or ".." resolved, taken from the working folder
// when relative; empty when it cannot be resolved.
fs::path resolved(const std::string& path) {
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    if (error) {
        return {};
    }
    fs::path result = fs::weakly_canonical(absolute, error);
    return error ? fs::path() : result;
}

bool resolvesInsideRoot(const std::string& path) {
    const std::string prefix = Platform::UnitRoot::prefix();
    if (prefix.empty()) {
        return true;  // UNIT_ROOT=/: the unit's own root
    }
    const fs::path root = resolved(prefix);
    const fs::path target = resolved(path);
    if (root.empty() || target.empty()) {
        return false;
    }
    const fs::path relative = target.lexically_relative(root);
    return !relative.empty() && relative != "." && *relative.begin() != "..";
}

}  // namespace

int ToolCall::fail(std::string_view message, int status) const {
    std::fprintf(stderr, "%s: %.*s\n", name.c_str(), static_cast<int>(message.size()),
                 message.data());
    return status;
}

int ToolCall::wrongUsage(std::string_view message) const {
    fail(message, wrongUse);
    if (const ToolEntry* tool = findTool(name); tool != nullptr) {
        std::fprintf(stderr, "usage: %s %s\n", name.c_str(), std::string(tool->usage).c_str());
    }
    return wrongUse;
}

bool ToolCall::allowsPath(const std::string& hostPath) const {
    std::error_code error;
    const fs::path absolute = fs::absolute(hostPath, error);
    if (!error && StandinProcess::isInsideUnitRoot(absolute.string()) &&
        resolvesInsideRoot(hostPath)) {
        return true;
    }
    fail("refused: " + hostPath + " lies outside the unit root");
    return false;
}

}  // namespace Sim::Tools
