#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Packaging {

// Numbers as the packaging tool reads and writes them in manifests, arguments and reports.
class NumberText {
public:
    // Decimal digits, or hexadecimal digits after "0x"; no sign, no spaces, nothing else.
    static std::optional<std::uint64_t> parseUnsigned(std::string_view text);
    // As parseUnsigned, limited to 32 bits.
    static std::optional<std::uint32_t> parseUnsigned32(std::string_view text);
    // "0x" and eight lower-case hexadecimal digits.
    static std::string hex32(std::uint32_t value);
};

}  // namespace Packaging
