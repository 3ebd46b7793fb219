#include "sim/unitsim/panel/InstallLogSummary.h"

#include <algorithm>
#include <array>

#include "sim/unitsim/Arguments.h"

namespace Sim::Unitsim {

namespace {

// The lines with which the install sequence gives up.
constexpr std::array<std::string_view, 9> failureLines = {
    "Failed to load install package",
    "Package has invalid Hardware Family",
    "No part number",
    "No serial number",
    "Invalid package signature",
    "Password rejected",
    "Part number does not match hardware",
    "Invalid component data",
    "Failed to load component from install package",
};
constexpr std::string_view unrecognisedComponentPrefix = "Install: Error: ";
constexpr std::string_view componentStartPrefix = "Install: Component Type: ";
constexpr std::string_view componentResultPrefix = "Install Result: Component ";
constexpr std::string_view statusWord = " status ";
constexpr std::uint32_t successStatus = 1;

void apply(InstallLogSummary& summary, std::string_view line) {
    if (line == "Loaded install package") {
        summary = {.phase = InstallLogSummary::Phase::checking};
    } else if (line == "Valid component data") {
        summary.phase = InstallLogSummary::Phase::installing;
    } else if (line.starts_with(componentStartPrefix)) {
        summary.phase = InstallLogSummary::Phase::installing;
        summary.componentType = wholeUnsignedNumber(line.substr(componentStartPrefix.size()));
    } else if (line.starts_with(componentResultPrefix)) {
        const std::size_t status = line.rfind(statusWord);
        const std::optional<std::uint32_t> result =
            status == std::string_view::npos
                ? std::nullopt
                : wholeUnsignedNumber(line.substr(status + statusWord.size()));
        if (result != successStatus) {
            summary.phase = InstallLogSummary::Phase::failed;
        }
        summary.componentType.reset();
    } else if (line == "Installation successful") {
        summary.phase = InstallLogSummary::Phase::succeeded;
    } else if (line.starts_with(unrecognisedComponentPrefix) ||
               std::find(failureLines.begin(), failureLines.end(), line) != failureLines.end()) {
        summary.phase = InstallLogSummary::Phase::failed;
        summary.componentType.reset();
    }
}

}  // namespace

InstallLogSummary InstallLogSummary::read(std::string_view log) {
    InstallLogSummary summary;
    std::size_t start = 0;
    while (start < log.size()) {
        std::size_t end = log.find('\n', start);
        const bool complete = end != std::string_view::npos;
        end = complete ? end : log.size();
        std::string_view line = log.substr(start, end - start);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        // A line still being written counts once it is whole.
        if (complete && !line.empty()) {
            apply(summary, line);
            summary.lastLine = std::string(line);
        }
        start = end + 1;
    }
    return summary;
}

std::string_view InstallLogSummary::phaseName(Phase phase) {
    switch (phase) {
        case Phase::checking:
            return "checking";
        case Phase::installing:
            return "installing";
        case Phase::succeeded:
            return "succeeded";
        case Phase::failed:
            return "failed";
        case Phase::none:
            break;
    }
    return "none";
}

}  // namespace Sim::Unitsim
