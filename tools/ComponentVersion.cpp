#include "tools/ComponentVersion.h"

#include <array>
#include <limits>

namespace Packaging {
namespace {

// Digits only (no sign, no hexadecimal), at most 10 of them so that the value fits 64 bits.
std::optional<std::uint64_t> decimal(std::string_view digits) {
    if (digits.empty() || digits.size() > 10) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char digit : digits) {
        if (digit < '0' || digit > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(digit - '0');
    }
    return value;
}

}  // namespace

std::optional<std::uint32_t> ComponentVersion::parse(std::string_view text, std::string& problem) {
    constexpr std::uint64_t largest = std::numeric_limits<std::uint32_t>::max();
    const std::string quoted = "'" + std::string(text) + "'";
    if (text.find('.') == std::string_view::npos) {
        const std::optional<std::uint64_t> value = decimal(text);
        if (!value || *value > largest) {
            problem = "version " + quoted + " is neither MAJOR.MINOR.BUILD nor a number up to " +
                      std::to_string(largest);
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(*value);
    }
    std::array<std::uint64_t, 3> parts{};
    std::string_view rest = text;
    for (std::size_t index = 0; index < parts.size(); ++index) {
        const std::size_t dot = rest.find('.');
        const bool last = index + 1 == parts.size();
        if (last != (dot == std::string_view::npos)) {
            problem = "version " + quoted + " must have three parts, MAJOR.MINOR.BUILD";
            return std::nullopt;
        }
        const std::optional<std::uint64_t> part = decimal(rest.substr(0, dot));
        if (!part) {
            problem = "version " + quoted + " has a part that is not a decimal number";
            return std::nullopt;
        }
        parts.at(index) = *part;
        rest = last ? std::string_view{} : rest.substr(dot + 1);
    }
    const auto [major, minor, build] = parts;
    if (minor >= majorUnit / minorUnit) {
        problem = "version " + quoted + ": the minor number must be 0 to 9";
        return std::nullopt;
    }
    if (build >= minorUnit) {
        problem = "version " + quoted + ": the build number must be 0 to 99999";
        return std::nullopt;
    }
    const std::uint64_t value = major * majorUnit + minor * minorUnit + build;
    if (value > largest) {
        problem = "version " + quoted + " is above the largest, " +
                  format(static_cast<std::uint32_t>(largest));
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::string ComponentVersion::format(std::uint32_t version) {
    return std::to_string(version / majorUnit) + "." +
           std::to_string(version % majorUnit / minorUnit) + "." +
           std::to_string(version % minorUnit);
}

}  // namespace Packaging
