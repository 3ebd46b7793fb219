#include "sim/common/StandinProcess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/Clock.h"
#include "platform/UnitRoot.h"
#include "sim/common/UnitPaths.h"

namespace Sim {

namespace {

constexpr int pollMilliseconds = 5;

void appendLine(const std::string& hostPath, std::string line) {
    std::filesystem::create_directories(std::filesystem::path(hostPath).parent_path());
    line += '\n';
    // One write with O_APPEND, so that lines of concurrent stand-ins never interleave.
    const int handle = ::open(hostPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (handle < 0) {
        return;
    }
    [[maybe_unused]] const ssize_t written = ::write(handle, line.data(), line.size());
    ::close(handle);
}

}  // namespace

std::string StandinProcess::requireUnitRoot() {
    std::string message;
    if (!Platform::UnitRoot::check(message)) {
        std::fprintf(stderr, "%s\n", message.c_str());
        std::exit(Platform::UnitRoot::refusalExitStatus);
    }
    return Platform::UnitRoot::prefix();
}

void StandinProcess::recordCommand(std::string_view name,
                                   const std::vector<std::string>& arguments) {
    std::string line(name);
    for (const std::string& argument : arguments) {
        line += ' ';
        line += argument;
    }
    appendLine(Platform::UnitRoot::hostPath(UnitPaths::commandsLog), std::move(line));
}

bool StandinProcess::isInsideUnitRoot(const std::string& hostPath) {
    namespace fs = std::filesystem;
    const fs::path path = fs::path(hostPath).lexically_normal();
    if (!path.is_absolute()) {
        return false;
    }
    const std::string root = Platform::UnitRoot::prefix();
    if (root.empty()) {
        return true;  // UNIT_ROOT=/: the unit's own root
    }
    const fs::path relative = path.lexically_relative(fs::path(root).lexically_normal());
    return !relative.empty() && relative != "." && *relative.begin() != "..";
}

int StandinProcess::continueInBackground(std::string_view name, const std::function<int()>& serve,
                                         const std::function<bool()>& ready,
                                         int readyMilliseconds) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("fork");
        return 1;
    }
    if (child == 0) {
        const std::string processFile =
            Platform::UnitRoot::hostPath(UnitPaths::processFolder) + std::to_string(::getpid());
        std::filesystem::create_directories(Platform::UnitRoot::hostPath(UnitPaths::processFolder));
        appendLine(processFile, std::string(name));
        const int result = serve();
        ::unlink(processFile.c_str());
        std::fflush(nullptr);
        ::_exit(result);
    }
    for (int waited = 0; waited <= readyMilliseconds; waited += pollMilliseconds) {
        if (ready()) {
            return 0;
        }
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) {
            return 1;
        }
        Platform::sleepMilliseconds(pollMilliseconds);
    }
    return ready() ? 0 : 1;
}

std::string StandinProcess::receivedFile(std::string_view fileName) {
    const std::string folder = Platform::UnitRoot::hostPath(UnitPaths::receivedFolder);
    std::filesystem::create_directories(folder);
    return folder + std::string(fileName);
}

void StandinProcess::appendReceivedLine(std::string_view fileName, std::string_view line) {
    appendLine(receivedFile(fileName), std::string(line));
}

}  // namespace Sim
