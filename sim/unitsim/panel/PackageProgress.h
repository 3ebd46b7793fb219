#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "boot/PackageFormat.h"

namespace Sim::Unitsim {

// How far the loader has read into the package it holds open, weighed the way its progress bar
// is: while checking, by the component data read against all of it; while installing a
// component, by that component's share of the bar (its size in whole percent of the total) from
// the share where it starts.
class PackageProgress {
public:
    // The package open in `loader` beneath `unitRoot` (any .kx1 file but the installed record)
    // and how far it has been read; nothing when the loader holds no package open.
    struct Reading {
        std::string packagePath;
        std::uint64_t position = 0;
    };
    static std::optional<Reading> read(pid_t loader, const std::string& unitRoot);

    // Percent of the checks done at `position`.
    static int checkingPercent(const std::vector<Boot::ComponentEntry>& entries,
                               std::uint64_t position);
    // Percent of the bar at `position` while the component of `componentType` is installed: the
    // latest entry of that type that starts at or before `position`.
    static int installingPercent(const std::vector<Boot::ComponentEntry>& entries,
                                 std::uint32_t componentType, std::uint64_t position);
};

}  // namespace Sim::Unitsim
