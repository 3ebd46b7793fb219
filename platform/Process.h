#pragma once

#include <string>

namespace Platform {

// Shell commands and process start.
class Process {
public:
    enum class SpawnMode { wait, noWait };

    // The default priority of a thread, and the range of priorities.
    static constexpr int defaultPriority = 10;
    static constexpr int lowestPriority = 1;
    static constexpr int highestPriority = 255;

    // Runs `command` with /bin/sh -c and waits for it, as system(3): the wait status, or -1
    // when the shell could not be run.
    [[nodiscard]] static int system(const std::string& command);

    // Starts `path` with `argv` (null-terminated). noWait: the process id; wait: the wait
    // status. -1 with errno set when the program could not be started.
    [[nodiscard]] static int spawn(SpawnMode mode, const std::string& path,
                                   const char* const argv[]);

    // The calling thread's scheduling priority. The host has no priority scheduler of this
    // kind: a priority below the default is applied to spawned children as a nice value, so
    // that they yield the processor to the loader; higher priorities are only recorded.
    static int getPriority();
    // Sets the calling thread's priority; returns the old one, or -1 (EINVAL) out of range.
    [[nodiscard]] static int setPriority(int priority);
};

}  // namespace Platform
