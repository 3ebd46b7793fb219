#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Packaging {

// The short names of component types that manifests use and reports print ("application" for
// type 4, ...). Types 13 and 14 are accepted by the unit but install nothing and have no name.
class ComponentNames {
public:
    // The name of a type; "no-installer" for 13 and 14, "invalid" outside 1 to 15.
    static std::string nameOf(std::uint32_t type);
    // A type from its name or its number (1 to 15).
    static std::optional<std::uint32_t> typeFrom(std::string_view nameOrNumber);
    // The names accepted by typeFrom, in type order, for help texts.
    static std::string allNames();
};

}  // namespace Packaging
