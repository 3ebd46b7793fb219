#pragma once

#include <cstdint>
#include <memory>

#include "boot/ComponentInstallerBase.h"

namespace Boot {

// Which installer each component type gets, in one table.
class InstallerTable {
public:
    struct Row {
        std::uint32_t type;
        // Null: the type is accepted and nothing is installed for it.
        std::unique_ptr<ComponentInstallerBase> (*create)();
        // Installing this type first wipes the data partition's state (and does so again
        // before every later component of the same package).
        bool wipesDataPartition;
    };

    // The row of `type`, or null for a type outside the table.
    static const Row* find(std::uint32_t type);
};

}  // namespace Boot
