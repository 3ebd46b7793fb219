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
// on (chmod's mode and grep's pattern come first; sleep and pwd take none). Where a leading
// operand may itself start with "-" (chmod's mode "-w"), only the tool's own option letters make
// an option, so that the mode is never mistaken for one and the path after it goes unchecked.
struct OperandRule {
    std::string_view name;
    std::size_t firstPathOperand;
    std::string_view optionLetters;
};

constexpr auto operandRules = std::to_array<OperandRule>({
    {"cat", 0, {}},
    {"chmod", 1, "cfvR"},
    {"cp", 0, {}},
    {"df", 0, {}},
    {"grep", 1, {}},
    {"ln", 0, {}},
    {"ls", 0, {}},
    {"mkdir", 0, {}},
    {"mv", 0, {}},
    {"pwd", noPathOperands, {}},
    {"rm", 0, {}},
    {"sleep", noPathOperands, {}},
});

constexpr std::array<std::string_view, 2> hostToolFolders = {"/bin/", "/usr/bin/"};

const OperandRule& operandRule(std::string_view name) {
    static constexpr OperandRule noPaths{{}, noPathOperands, {}};
    const auto* rule =
        std::find_if(operandRules.begin(), operandRules.end(),
                     [name](const OperandRule& entry) { return entry.name == name; });
    return rule == operandRules.end() ? noPaths : *rule;
}

bool isOption(const OperandRule& rule, const std::string& argument) {
    if (argument.size() < 2 || argument.front() != '-') {
        return false;
    }
    return rule.optionLetters.empty() || argument.starts_with("--") ||
           argument.find_first_not_of(rule.optionLetters, 1) == std::string::npos;
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
    const OperandRule& rule = operandRule(call.name);
    std::size_t operandIndex = 0;
    bool optionsEnded = false;
    for (const std::string& argument : call.arguments) {
        std::string path;
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && isOption(rule, argument)) {
            path = pathInOption(argument);
        } else if (operandIndex++ >= rule.firstPathOperand || argument.starts_with('/')) {
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
