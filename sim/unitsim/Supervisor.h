#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/unitsim/UnitFolder.h"

namespace Sim::Unitsim {

// How to start the unit's loader.
struct LaunchPlan {
    std::string loaderPath;
    std::vector<std::string> loaderArguments;  // argv, its first word included
    std::vector<std::string> environment;      // "NAME=VALUE", the loader's whole environment
    // Where the loader keeps every frame (--capture), recorded for `wait --frames`.
    std::optional<std::string> captureFolder;
    // Ends the run with the outcome "timeout" after this long (for `run`).
    std::optional<long long> timeLimitMilliseconds;
};

// Runs one unit: the loader in a process group of its own with the drivers that the boot script
// starts before it, watched by a supervisor process that ends everything the run started, in
// whatever way the run ends, and records how it ended.
class Supervisor {
public:
    // Starts the supervisor and returns once the loader runs, printing what start-up noted;
    // CommandFailure when a unit runs already or the loader could not be run.
    static void start(const UnitFolder& unit, const LaunchPlan& plan);
    // Asks the running supervisor to end the run and waits until it has; false when no unit
    // runs.
    static bool stop(const UnitFolder& unit);
    // Waits until the run has ended and returns its outcome; nothing when the time ran out or
    // no outcome came.
    static std::optional<std::string> awaitOutcome(const UnitFolder& unit,
                                                   long long timeoutMilliseconds);

    // The drivers the boot script starts before the loader.
    static const std::vector<std::string>& bootDrivers();
};

}  // namespace Sim::Unitsim
