#pragma once

#include <cstdint>
#include <string>

#include "sim/unitsim/UnitFolder.h"

namespace Sim::Unitsim {

// What the panel's page shows of its unit besides the screen and the logs, as one JSON object:
// the state at a glance, the display and its keys, the stick, the shutdown-request input, the
// installed record as `kx1 inspect` shows it and what the stand-in drivers received.
class UnitView {
public:
    struct Settings {
        std::uintmax_t uploadLimit = 0;
    };

    static std::string json(const UnitFolder& unit, const Settings& settings);
    // {"message": TEXT} or {"error": TEXT}: the answer to one request.
    static std::string message(const std::string& said);
    static std::string error(const std::string& said);
};

}  // namespace Sim::Unitsim
