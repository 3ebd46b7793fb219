#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Packaging {

// Component versions: stored as major * 1,000,000 + minor * 100,000 + build, written as
// "major.minor.build" (2.9.10247 is 2910247). A minor above 9 or a build above 99999 would
// overlap the next field, so such texts are refused.
class ComponentVersion {
public:
    // A dotted "major.minor.build" or a plain number; on failure `problem` says why.
    static std::optional<std::uint32_t> parse(std::string_view text, std::string& problem);
    // The dotted form of a stored version.
    static std::string format(std::uint32_t version);

    static constexpr std::uint32_t majorUnit = 1'000'000;
    static constexpr std::uint32_t minorUnit = 100'000;
};

}  // namespace Packaging
