#pragma once

#include <sys/types.h>

#include <optional>
#include <vector>

namespace Sim::Unitsim {

// One process as the kernel lists it under /proc.
struct ProcessEntry {
    pid_t id = 0;
    pid_t parent = 0;
    pid_t group = 0;
    char state = '?';

    // Ended but not yet reaped by its parent.
    bool hasEnded() const { return state == 'Z' || state == 'X'; }
};

// The host's process list, read from /proc; only read, never acted on here.
class ProcessTable {
public:
    static std::vector<ProcessEntry> scan();
    static std::optional<ProcessEntry> find(pid_t id);
};

}  // namespace Sim::Unitsim
