#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Sim::Unitsim {

// Where an install stands, as its install log tells: the loader writes one line per check and per
// component, and a last line when the install succeeds or stops.
struct InstallLogSummary {
    enum class Phase {
        none,        // no install in the log
        checking,    // the package is loaded and being checked
        installing,  // the checks passed; components are being installed
        succeeded,
        failed,
    };

    Phase phase = Phase::none;
    // The component type being installed, while one is.
    std::optional<std::uint32_t> componentType;
    // The log's last line: the step in progress, or why the install stopped.
    std::string lastLine;

    static InstallLogSummary read(std::string_view log);
    static std::string_view phaseName(Phase phase);
};

}  // namespace Sim::Unitsim
