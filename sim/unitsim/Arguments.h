#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "CoreSystem/Command.h"
#include "CoreSystem/CommandLine.h"

namespace Sim::Unitsim {

using CoreSystem::UsageError;

// The command was called correctly but could not do its work (exit status 1).
class CommandFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The whole of `text` as a decimal number within 32 bits; nothing when it is anything else.
std::optional<std::uint32_t> wholeUnsignedNumber(std::string_view text);
// A decimal number within 32 bits, or UsageError naming `what`.
std::uint32_t parseUnsigned(const std::string& text, std::string_view what);
// A signed decimal number within 32 bits, or UsageError naming `what`.
std::int32_t parseSigned(const std::string& text, std::string_view what);
// Seconds, possibly with a fraction ("0.5"), as milliseconds, or UsageError naming `what`.
long long parseSecondsAsMilliseconds(const std::string& text, std::string_view what);
// The command's --timeout SECONDS in milliseconds, 60 s when it is not given.
long long timeoutMilliseconds(const CoreSystem::CommandLine& line);

}  // namespace Sim::Unitsim
