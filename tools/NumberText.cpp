#include "tools/NumberText.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <limits>

namespace Packaging {

std::optional<std::uint64_t> NumberText::parseUnsigned(std::string_view text) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [end, problem] =
        std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (problem != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint32_t> NumberText::parseUnsigned32(std::string_view text) {
    const std::optional<std::uint64_t> value = parseUnsigned(text);
    if (!value || *value > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*value);
}

std::string NumberText::hex32(std::uint32_t value) {
    std::array<char, 11> text{};
    std::snprintf(text.data(), text.size(), "0x%08x", value);
    return text.data();
}

}  // namespace Packaging
