#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

#include "sim/tools/Tools.h"

namespace Sim::Tools {

namespace {

constexpr std::size_t noPathOperands = std::numeric_limits<std::size_t>::max();

// Which operands (arguments that are not options) a shell tool takes as paths: from this index
// on (chmod's mode and grep's pattern come first; sleep and pwd take none).
struct OperandRule {
    std::string_view name;
    std::size_t firstPathOperand;
};

constexpr auto operandRules = std::to_array<OperandRule>({
    {"cat", 0},
    {"chmod", 1},
    {"cp", 0},
    {"df", 0},
    {"grep", 1},
    {"ln", 0},
    {"ls", 0},
    {"mkdir", 0},
    {"mv", 0},
    {"pwd", noPathOperands},
    {"rm", 0},
    {"sleep", noPathOperands},
});

constexpr std::array<std::string_view, 2> hostToolFolders = {"/bin/", "/usr/bin/"};

std::size_t firstPathOperand(std::string_view name) {
    const auto* rule =
        std::find_if(operandRules.begin(), operandRules.end(),
                     [name](const OperandRule& entry) { return entry.name == name; });
    return rule == operandRules.end() ? noPathOperands : rule->firstPathOperand;
}

// The path an option carries in itself ("--target-directory=DIR", "-t/DIR"), or empty.
std::string pathInOption(const std::string& option) {
    if (const auto equals = option.find('='); equals != std::string::npos) {
        const std::string value = option.substr(equals + 1);
        return value.find('/') == std::string::npos ? std::string() : value;
    }
    const auto slash = option.find('/');
    return slash == std::string::npos ? std::string() : option.substr(slash);
}

// Every path the tool would be given: arguments starting with "/", paths inside options, and
// the operands that the tool reads as paths (relative ones count from the working folder).
bool allowsEveryPath(const ToolCall& call) {
    const std::size_t firstPath = firstPathOperand(call.name);
    std::size_t operandIndex = 0;
    bool optionsEnded = false;
    for (const std::string& argument : call.arguments) {
        std::string path;
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && argument.size() > 1 && argument.front() == '-') {
            path = pathInOption(argument);
        } else if (operandIndex++ >= firstPath || argument.starts_with('/')) {
            path = argument;
        }
        if (!path.empty() && !call.allowsPath(path)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int runHandOver(const ToolCall& call) {
    if (!allowsEveryPath(call)) {
        return failure;
    }
    for (const std::string_view folder : hostToolFolders) {
        const std::string hostTool = std::string(folder) + call.name;
        if (::access(hostTool.c_str(), X_OK) != 0) {
            continue;
        }
        std::vector<char*> argv;
        std::string programName = call.name;
        argv.push_back(programName.data());
        std::vector<std::string> arguments = call.arguments;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        ::execv(hostTool.c_str(), argv.data());
        return call.fail("cannot run " + hostTool + ": " + std::strerror(errno));
    }
    return call.fail("the host has no " + call.name + " in /bin or /usr/bin");
}

}  // namespace Sim::Tools
