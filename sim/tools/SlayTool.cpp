#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/Clock.h"
#include "platform/UnitRoot.h"
#include "sim/common/UnitPaths.h"
#include "sim/tools/Tools.h"

namespace Sim::Tools {

namespace {

constexpr long long longestWaitMilliseconds = 2000;
constexpr long long pollMilliseconds = 10;

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool parseProcessId(const std::string& text, pid_t& processId) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, processId);
    return error == std::errc() && stop == end && processId > 0;
}

// Whether the process still runs in our group. A process that has ended but is not yet reaped
// by its parent is gone for this purpose.
bool runsInGroup(pid_t processId, pid_t group) {
    if (::getpgid(processId) != group) {
        return false;
    }
    std::ifstream status("/proc/" + std::to_string(processId) + "/stat");
    std::string line;
    std::getline(status, line);
    const auto nameEnd = line.rfind(')');
    if (nameEnd == std::string::npos || nameEnd + 2 >= line.size()) {
        return true;  // no word on its state: count it as running
    }
    const char state = line[nameEnd + 2];
    return state != 'Z' && state != 'X';
}

// The recorded stand-ins called `name` that run in `group`. Records of processes that no longer
// exist are removed, so that a reused process id can never match a stale record.
std::vector<pid_t> recordedStandins(const std::string& name, pid_t group) {
    namespace fs = std::filesystem;
    std::vector<pid_t> found;
    std::error_code error;
    const std::string folder = Platform::UnitRoot::hostPath(UnitPaths::processFolder);
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        pid_t processId = 0;
        if (!parseProcessId(entry.path().filename().string(), processId)) {
            continue;
        }
        if (::kill(processId, 0) != 0 && errno == ESRCH) {
            fs::remove(entry.path(), error);
            continue;
        }
        std::ifstream record(entry.path());
        std::string recordedName;
        std::getline(record, recordedName);
        if (recordedName == name && runsInGroup(processId, group)) {
            found.push_back(processId);
        }
    }
    return found;
}

}  // namespace

int runSlay(const ToolCall& call) {
    std::string name;
    for (const std::string& argument : call.arguments) {
        if (argument == "-f" || argument == "-Q") {
            continue;
        }
        if (argument.starts_with('-') || !name.empty()) {
            return call.wrongUsage("unexpected argument '" + argument + "'");
        }
        name = baseName(argument);
    }
    if (name.empty()) {
        return call.wrongUsage("expected the name of the processes to end");
    }
    const pid_t group = ::getpgrp();
    std::vector<pid_t> ending = recordedStandins(name, group);
    for (const pid_t processId : ending) {
        ::kill(processId, SIGTERM);
    }
    const auto deadline =
        Platform::monotonicNow() + std::chrono::milliseconds(longestWaitMilliseconds);
    for (;;) {
        std::erase_if(ending, [group](pid_t processId) { return !runsInGroup(processId, group); });
        if (ending.empty()) {
            return success;
        }
        if (Platform::monotonicNow() >= deadline) {
            return call.fail(std::to_string(ending.size()) + " process(es) called " + name +
                             " did not end");
        }
        Platform::sleepMilliseconds(pollMilliseconds);
    }
}

}  // namespace Sim::Tools
