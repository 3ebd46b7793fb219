#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sim/unitsim/UnitFolder.h"
#include "sim/unitsim/panel/InstallLogSummary.h"

namespace Sim::Unitsim {

// The unit's state at a glance, read from its files and its loader process: off, starting (no
// frame yet), waiting (for a package or a person), installing (with the component and percent),
// resetting (the install ended and the result screen counts down, or a shutdown is on its way).
struct UnitStatus {
    enum class State { off, starting, waiting, installing, resetting };

    State state = State::off;
    // How the last run ended, while the unit is off.
    std::optional<std::string> outcome;
    // This run's install, from its install log.
    InstallLogSummary install;
    std::string componentName;
    std::optional<int> percent;
    bool shutdownRequested = false;

    // The unit must be named in UNIT_ROOT (for its shutdown-request input).
    static UnitStatus observe(const UnitFolder& unit);
    static std::string_view stateName(State state);
};

}  // namespace Sim::Unitsim
