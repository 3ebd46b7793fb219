#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <optional>
#include <type_traits>

#include "CoreSystem/Console.h"
#include "platform/Clock.h"

// Work done in a child process of its own, whose resource use is read when it ends.
namespace BenchSupport {

// User plus system time.
inline Platform::Clock::Duration processorTime(const rusage& usage) {
    const auto time = [](const timeval& value) {
        return std::chrono::seconds(value.tv_sec) + std::chrono::microseconds(value.tv_usec);
    };
    return time(usage.ru_utime) + time(usage.ru_stime);
}

template <typename Report>
struct ChildResult {
    Report report;
    long peakKilobytes;                   // the child's peak resident set, as the kernel counts it
    Platform::Clock::Duration processor;  // the child's user and system time
};

// Runs `work` in a child process and returns what it reported through a pipe, with the child's
// peak resident memory; nothing when the child could not be run or did not finish its report.
template <typename Report>
inline std::optional<ChildResult<Report>> runInChild(const std::function<Report()>& work) {
    static_assert(std::is_trivially_copyable_v<Report>);
    int ends[2] = {-1, -1};
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        bool sent = false;
        try {
            const Report report = work();
            sent = write(ends[1], &report, sizeof report) == static_cast<ssize_t>(sizeof report);
        } catch (const std::exception& exception) {
            CoreSystem::Console::printf("child process failed: %s\n", exception.what());
        }
        // No destructors or exit handlers of the parent's objects run in the child.
        _exit(sent ? 0 : 1);
    }
    close(ends[1]);
    Report report{};
    const ssize_t received = child > 0 ? read(ends[0], &report, sizeof report) : -1;
    close(ends[0]);
    if (child < 0) {
        return std::nullopt;
    }
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        received != static_cast<ssize_t>(sizeof report)) {
        return std::nullopt;
    }
    return ChildResult<Report>{report, usage.ru_maxrss, processorTime(usage)};
}

}  // namespace BenchSupport
