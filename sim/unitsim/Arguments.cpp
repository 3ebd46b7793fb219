#include "sim/unitsim/Arguments.h"

#include <charconv>
#include <cmath>

namespace Sim::Unitsim {

namespace {

// Days: far beyond any run, small enough to count in milliseconds without overflow.
constexpr double maximumSeconds = 1e6;
constexpr long long defaultTimeoutMilliseconds = 60000;

}  // namespace

std::optional<std::uint32_t> wholeUnsignedNumber(std::string_view text) {
    std::uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

std::uint32_t parseUnsigned(const std::string& text, std::string_view what) {
    const std::optional<std::uint32_t> value = wholeUnsignedNumber(text);
    if (!value) {
        throw UsageError(std::string(what) + " must be a number from 0 to 4294967295, not '" +
                         text + "'");
    }
    return *value;
}

std::int32_t parseSigned(const std::string& text, std::string_view what) {
    std::int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) {
        throw UsageError(std::string(what) + " must be a whole number, not '" + text + "'");
    }
    return value;
}

long long parseSecondsAsMilliseconds(const std::string& text, std::string_view what) {
    double seconds = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, seconds);
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(seconds) ||
        seconds < 0 || seconds > maximumSeconds) {
        throw UsageError(std::string(what) + " must be a number of seconds, not '" + text + "'");
    }
    return std::llround(seconds * 1000);
}

long long timeoutMilliseconds(const CoreSystem::CommandLine& line) {
    const std::optional<std::string> text = line.value("--timeout");
    return text ? parseSecondsAsMilliseconds(*text, "--timeout") : defaultTimeoutMilliseconds;
}

}  // namespace Sim::Unitsim
