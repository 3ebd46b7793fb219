#include "sim/unitsim/panel/UnitControl.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/unitsim/Arguments.h"
#include "sim/unitsim/Commands.h"
#include "sim/unitsim/Supervisor.h"
#include "sim/unitsim/UnitInput.h"

namespace Sim::Unitsim {

namespace {

namespace fs = std::filesystem;

constexpr int childFailureStatus = 1;

std::string readAll(int handle) {
    std::string text;
    std::array<char, 4096> buffer{};
    while (true) {
        const ssize_t count = ::read(handle, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return text;
        }
        text.append(buffer.data(), static_cast<std::size_t>(count));
    }
}

// Runs `start` in a child process that holds none of the panel's descriptors (its listening
// socket, its connections), so that the supervisor and the unit's processes, which that child
// starts, do not keep them open; the child's output is the result.
[[noreturn]] void runStartInChild(const std::vector<std::string>& words, int output) {
    sigset_t none;
    sigemptyset(&none);
    ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
    ::dup2(output, STDOUT_FILENO);
    ::dup2(output, STDERR_FILENO);
    ::close_range(STDERR_FILENO + 1, ~0U, 0);
    int status = childFailureStatus;
    try {
        const Command start = startCommand();
        status = start.run(CommandLine("unitsim", start, words));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
    }
    std::fflush(nullptr);
    ::_exit(status);
}

}  // namespace

std::string UnitControl::boot() {
    if (const std::optional<pid_t> running = unit_.runningSupervisor()) {
        throw CommandFailure("the unit runs already (supervisor " + std::to_string(*running) + ")");
    }
    clearCaptureFolder();
    const std::vector<std::string> words = {unit_.root(), "--capture",
                                            unit_.hostPath(captureFolder)};
    std::array<int, 2> channel{};
    if (::pipe2(channel.data(), O_CLOEXEC) != 0) {
        throw CommandFailure(std::string("cannot make a pipe: ") + std::strerror(errno));
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        runStartInChild(words, channel[1]);
    }
    ::close(channel[1]);
    if (child < 0) {
        ::close(channel[0]);
        throw CommandFailure(std::string("cannot start the unit: ") + std::strerror(errno));
    }
    std::string output = withoutFinalLineEnds(readAll(channel[0]));
    ::close(channel[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw CommandFailure(output.empty() ? "the unit did not start" : output);
    }
    return output;
}

std::string UnitControl::powerOff() {
    if (!Supervisor::stop(unit_)) {
        throw CommandFailure("the unit is off already");
    }
    return "powered off (" + unit_.outcome().value_or("stopped") + ")";
}

std::string UnitControl::setShutdownRequest(bool high) {
    Sim::Unitsim::setShutdownRequest(unit_, high);
    return high ? "the shutdown request is raised" : "the shutdown request is lowered";
}

std::string UnitControl::pressKey(const std::string& name) {
    const std::uint32_t mask = softKey(unit_, name).keyMask;
    const std::lock_guard lock(keysMutex_);
    writeKeyMask(unit_, heldMask_ | mask);
    heldMask_ |= mask;
    pressedAt_.at(keyIndex(name)) = Platform::monotonicNow();
    return name + " is held down";
}

std::string UnitControl::releaseKey(const std::string& name) {
    const std::uint32_t mask = softKey(unit_, name).keyMask;
    const std::lock_guard lock(keysMutex_);
    const Platform::Clock::Duration held = Platform::monotonicNow() - pressedAt_.at(keyIndex(name));
    const Platform::Clock::Duration hold = std::chrono::milliseconds(holdMilliseconds);
    if ((heldMask_ & mask) != 0 && held < hold) {
        Platform::Clock::current().sleepFor(hold - held);
    }
    writeKeyMask(unit_, heldMask_ & ~mask);
    heldMask_ &= ~mask;
    return name + " is let go";
}

std::string UnitControl::touch(std::int32_t x, std::int32_t y) {
    tap(unit_, x, y);
    return "touched (" + std::to_string(x) + ", " + std::to_string(y) + ")";
}

void UnitControl::clearCaptureFolder() const {
    // Only frame files go; the folder lies inside the unit and is the panel's own.
    unit_.makeFolder(captureFolder);
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(unit_.hostPath(captureFolder), error)) {
        if (entry.path().extension() == ".png" && !entry.is_symlink()) {
            fs::remove(entry.path(), error);
        }
    }
}

}  // namespace Sim::Unitsim
