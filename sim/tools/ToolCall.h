#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Sim::Tools {

// Exit statuses of every stand-in tool.
inline constexpr int success = 0;
inline constexpr int failure = 1;
inline constexpr int wrongUse = 2;

// One run of a stand-in tool: the name it was called by and the arguments that followed.
struct ToolCall {
    std::string name;
    std::vector<std::string> arguments;

    // Prints "NAME: MESSAGE" on standard error and returns `status`.
    int fail(std::string_view message, int status = failure) const;
    // Prints "NAME: MESSAGE" and the tool's usage line; returns the wrong-use status.
    int wrongUsage(std::string_view message) const;
    // Whether `hostPath` may be acted on: beneath the unit root as written and, once symbolic
    // links and the working folder are resolved, still beneath it (a link inside the root may
    // point at the host). Prints why not and returns false otherwise.
    bool allowsPath(const std::string& hostPath) const;
};

}  // namespace Sim::Tools
