#pragma once

#include <string>

#include "sim/unitsim/UnitFolder.h"

namespace Sim::Unitsim {

// What the stand-in drivers received (var/sim/received/): a line "== NAME (SIZE bytes)" for every
// file, in name order, each request log (NAME.log) followed by its lines.
std::string receivedReport(const UnitFolder& unit);

}  // namespace Sim::Unitsim
