#include "tools/ComponentNames.h"

#include <array>
#include <utility>

#include "boot/PackageFormat.h"
#include "tools/NumberText.h"

namespace Packaging {
namespace {

namespace Type = Boot::ComponentType;

constexpr std::array<std::pair<std::uint32_t, std::string_view>, 13> names = {{
    {Type::preInstallCheck, "begin"},
    {Type::bootstrap, "bootstrap"},
    {Type::operatingSystem, "os"},
    {Type::application, "application"},
    {Type::configuration, "configuration"},
    {Type::bluetoothFirmware, "bluetooth"},
    {Type::ioMicrocontrollerFirmware, "pic"},
    {Type::initialProgramLoader, "ipl"},
    {Type::touchFirmware, "touch"},
    {Type::mediaImage, "media"},
    {Type::mapsEngine, "maps"},
    {Type::postInstallStep, "end"},
    {Type::customFiles, "custom"},
}};

}  // namespace

std::string ComponentNames::nameOf(std::uint32_t type) {
    for (const auto& [number, name] : names) {
        if (number == type) {
            return std::string(name);
        }
    }
    if (type >= Type::lowest && type <= Type::highest) {
        return "no-installer";
    }
    return "invalid";
}

std::optional<std::uint32_t> ComponentNames::typeFrom(std::string_view nameOrNumber) {
    for (const auto& [number, name] : names) {
        if (name == nameOrNumber) {
            return number;
        }
    }
    const std::optional<std::uint32_t> number = NumberText::parseUnsigned32(nameOrNumber);
    if (number && *number >= Type::lowest && *number <= Type::highest) {
        return number;
    }
    return std::nullopt;
}

std::string ComponentNames::allNames() {
    std::string list;
    for (const auto& [number, name] : names) {
        list +=
            (list.empty() ? "" : ", ") + std::string(name) + " (" + std::to_string(number) + ")";
    }
    return list;
}

}  // namespace Packaging
