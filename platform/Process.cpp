#include "platform/Process.h"

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX leaves it undeclared

namespace Platform {
namespace {

thread_local int threadPriority = Process::defaultPriority;

int waitForChild(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

}  // namespace

int Process::system(const std::string& command) {
    const char* const argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) !=
        0) {
        return -1;
    }
    return waitForChild(child);
}

int Process::spawn(SpawnMode mode, const std::string& path, const char* const argv[]) {
    pid_t child = 0;
    const int error = posix_spawn(&child, path.c_str(), nullptr, nullptr,
                                  const_cast<char* const*>(argv), environ);
    if (error != 0) {
        errno = error;
        return -1;
    }
    if (threadPriority < defaultPriority) {
        setpriority(PRIO_PROCESS, static_cast<id_t>(child),
                    defaultPriority - threadPriority > 19 ? 19 : defaultPriority - threadPriority);
    }
    return mode == SpawnMode::wait ? waitForChild(child) : child;
}

int Process::getPriority() {
    return threadPriority;
}

int Process::setPriority(int priority) {
    if (priority < lowestPriority || priority > highestPriority) {
        errno = EINVAL;
        return -1;
    }
    const int old = threadPriority;
    threadPriority = priority;
    return old;
}

}  // namespace Platform
