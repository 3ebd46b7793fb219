#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <system_error>

#include "platform/Clock.h"

// Helpers shared by the benchmark programs.
namespace BenchSupport {

// A size in bytes, or with a K, M or G suffix (powers of 1024); nothing for 0, for text that is
// not such a size, or for a size that does not fit.
inline std::optional<std::size_t> parseSize(std::string_view text) {
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || value == 0) {
        return std::nullopt;
    }
    const std::string_view suffix(end, static_cast<std::size_t>(text.data() + text.size() - end));
    unsigned shift = 0;
    if (suffix == "K") {
        shift = 10;
    } else if (suffix == "M") {
        shift = 20;
    } else if (suffix == "G") {
        shift = 30;
    } else if (!suffix.empty()) {
        return std::nullopt;
    }
    if (value > (SIZE_MAX >> shift)) {
        return std::nullopt;
    }
    return value << shift;
}

// splitmix64: a fast generator whose sequence is the same on every run for a given seed.
class SplitMix64 {
public:
    explicit SplitMix64(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        state_ += 0x9E3779B97F4A7C15;
        std::uint64_t word = state_;
        word = (word ^ (word >> 30U)) * 0xBF58476D1CE4E5B9;
        word = (word ^ (word >> 27U)) * 0x94D049BB133111EB;
        return word ^ (word >> 31U);
    }

private:
    std::uint64_t state_;
};

// From lowest to highest with a uniform logarithm: many small values and a few large ones.
inline std::uint64_t logUniform(SplitMix64& random, std::uint64_t lowest, std::uint64_t highest) {
    const double fraction = static_cast<double>(random.next() >> 11U) * 0x1.0p-53;
    const double ratio = static_cast<double>(highest) / static_cast<double>(lowest);
    return static_cast<std::uint64_t>(static_cast<double>(lowest) * std::pow(ratio, fraction));
}

// How long `work` took on the monotonic clock.
inline Platform::Clock::Duration timed(const std::function<void()>& work) {
    const Platform::Clock::Duration start = Platform::monotonicNow();
    work();
    return Platform::monotonicNow() - start;
}

}  // namespace BenchSupport
