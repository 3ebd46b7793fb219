#pragma once

#include <string>

namespace Platform {

// The local name space of the process manager. A name registered here appears as
// UNIT_ROOT/dev/name/local/NAME (holding the owner's process id) while the process lives.
class LocalNames {
public:
    // Registers `name`; false when the entry could not be created.
    [[nodiscard]] static bool attach(const std::string& name);
    // The host path at which `name` appears.
    static std::string hostPathOf(const std::string& name);
};

}  // namespace Platform
