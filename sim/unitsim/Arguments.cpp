#include "sim/unitsim/Arguments.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace Sim::Unitsim {

namespace {

// Days: far beyond any run, small enough to count in milliseconds without overflow.
constexpr double maximumSeconds = 1e6;

}  // namespace

Arguments::Arguments(const std::vector<std::string>& words,
                     std::span<const OptionSpecification> specifications) {
    for (std::size_t index = 0; index < words.size(); ++index) {
        const std::string& word = words[index];
        if (!word.starts_with("--")) {
            positionals_.push_back(word);
            continue;
        }
        const auto specification =
            std::find_if(specifications.begin(), specifications.end(),
                         [&](const OptionSpecification& option) { return option.name == word; });
        if (specification == specifications.end()) {
            throw UsageError("unknown option '" + word + "'");
        }
        std::vector<std::string>& given = options_[word];
        if (!specification->takesValue) {
            given.emplace_back();
            continue;
        }
        if (index + 1 >= words.size()) {
            throw UsageError("option " + word + " needs a value");
        }
        given.push_back(words[++index]);
    }
}

void Arguments::requirePositionals(std::size_t minimum, std::size_t maximum) const {
    if (positionals_.size() < minimum) {
        throw UsageError("too few arguments");
    }
    if (positionals_.size() > maximum) {
        throw UsageError("unexpected argument '" + positionals_[maximum] + "'");
    }
}

bool Arguments::has(std::string_view name) const {
    return options_.find(name) != options_.end();
}

std::optional<std::string> Arguments::value(std::string_view name) const {
    const auto found = options_.find(name);
    if (found == options_.end() || found->second.empty()) {
        return std::nullopt;
    }
    return found->second.back();
}

std::vector<std::string> Arguments::values(std::string_view name) const {
    const auto found = options_.find(name);
    return found == options_.end() ? std::vector<std::string>{} : found->second;
}

std::uint32_t parseUnsigned(const std::string& text, std::string_view what) {
    std::uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) {
        throw UsageError(std::string(what) + " must be a number from 0 to 4294967295, not '" +
                         text + "'");
    }
    return value;
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

}  // namespace Sim::Unitsim
