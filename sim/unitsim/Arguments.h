#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Sim::Unitsim {

// The person called a command the wrong way (exit status 2).
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The command was called correctly but could not do its work (exit status 1).
class CommandFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One option a command accepts: "--name", with a value after it when `takesValue`.
struct OptionSpecification {
    std::string_view name;
    bool takesValue = false;
};

// A command's words split into positional arguments and options, checked against the options
// the command accepts. Every mistake throws UsageError.
class Arguments {
public:
    Arguments(const std::vector<std::string>& words,
              std::span<const OptionSpecification> specifications);

    const std::vector<std::string>& positionals() const { return positionals_; }
    // Throws unless the count of positional arguments lies within the bounds.
    void requirePositionals(std::size_t minimum, std::size_t maximum) const;

    bool has(std::string_view name) const;
    // The value given last for an option, if any.
    std::optional<std::string> value(std::string_view name) const;
    // Every value of a repeatable option, in order.
    std::vector<std::string> values(std::string_view name) const;

private:
    std::vector<std::string> positionals_;
    std::map<std::string, std::vector<std::string>, std::less<>> options_;
};

// A decimal number within 32 bits, or UsageError naming `what`.
std::uint32_t parseUnsigned(const std::string& text, std::string_view what);
// A signed decimal number within 32 bits, or UsageError naming `what`.
std::int32_t parseSigned(const std::string& text, std::string_view what);
// Seconds, possibly with a fraction ("0.5"), as milliseconds, or UsageError naming `what`.
long long parseSecondsAsMilliseconds(const std::string& text, std::string_view what);

}  // namespace Sim::Unitsim
