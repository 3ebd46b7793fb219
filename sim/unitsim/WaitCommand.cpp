#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>

#include "CoreSystem/Console.h"
#include "platform/Clock.h"
#include "sim/common/UnitPaths.h"
#include "sim/unitsim/Arguments.h"
#include "sim/unitsim/Commands.h"
#include "sim/unitsim/UnitFolder.h"

namespace Sim::Unitsim {

namespace {

constexpr long long defaultTimeoutMilliseconds = 60000;
constexpr int pollMilliseconds = 20;
constexpr std::size_t frameNameLength = 10;  // "NNNNNN.png"

// A captured frame's name: six digits and ".png".
bool isFrameName(const std::string& name) {
    return name.size() == frameNameLength && name.ends_with(".png") &&
           std::all_of(name.begin(), name.begin() + 6,
                       [](char character) { return character >= '0' && character <= '9'; });
}

std::size_t countFrames(const std::string& folder) {
    std::error_code error;
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (isFrameName(entry.path().filename().string())) {
            ++count;
        }
    }
    return count;
}

std::string captureFolder(const UnitFolder& unit) {
    std::optional<std::string> folder =
        readWholeFile(unit.hostPath(UnitsimPaths::captureFolderRecord));
    if (!folder || folder->empty()) {
        throw CommandFailure("the unit was started without --capture; no frames are kept");
    }
    while (!folder->empty() && folder->back() == '\n') {
        folder->pop_back();
    }
    return *folder;
}

// What a wait waits for: `reached` says whether it came; once the run has ended and it has not
// come, it never will.
struct Condition {
    std::string description;
    std::function<bool()> reached;
};

Condition conditionFrom(const UnitFolder& unit, const Arguments& arguments) {
    const int chosen = (arguments.has("--end") ? 1 : 0) + (arguments.has("--reset") ? 1 : 0) +
                       (arguments.has("--output") ? 1 : 0) + (arguments.has("--frames") ? 1 : 0);
    if (chosen != 1) {
        throw UsageError("give exactly one of --end, --reset, --output TEXT, --frames N");
    }
    if (arguments.has("--end")) {
        return {"the end of the run", [unit] { return unit.outcome().has_value(); }};
    }
    if (arguments.has("--reset")) {
        return {"a reset", [unit] { return unit.outcome() == "reset"; }};
    }
    if (const std::optional<std::string> text = arguments.value("--output")) {
        return {"'" + *text + "' in the loader output", [unit, text = *text] {
                    const std::optional<std::string> output =
                        readWholeFile(unit.hostPath(UnitPaths::loaderOutput));
                    return output && output->find(text) != std::string::npos;
                }};
    }
    const std::uint32_t frames = parseUnsigned(*arguments.value("--frames"), "--frames");
    return {std::to_string(frames) + " captured frames",
            [folder = captureFolder(unit), frames] { return countFrames(folder) >= frames; }};
}

}  // namespace

int waitCommand(const Words& words) {
    static constexpr std::array<OptionSpecification, 5> options = {
        {{"--end"}, {"--reset"}, {"--output", true}, {"--frames", true}, {"--timeout", true}}};
    const Arguments arguments(words, options);
    arguments.requirePositionals(1, 1);
    const UnitFolder unit = UnitFolder::existing(arguments.positionals()[0]);
    const Condition condition = conditionFrom(unit, arguments);
    const long long timeout =
        arguments.value("--timeout")
            ? parseSecondsAsMilliseconds(*arguments.value("--timeout"), "--timeout")
            : defaultTimeoutMilliseconds;
    const auto began = Platform::monotonicNow();
    while (!condition.reached()) {
        // The run's last output and frames come before its outcome: once the outcome is there,
        // one more look settles it.
        if (const std::optional<std::string> outcome = unit.outcome()) {
            if (condition.reached()) {
                break;
            }
            throw CommandFailure("the run ended (" + *outcome + ") without " +
                                 condition.description);
        }
        if (!unit.runningSupervisor() && !unit.outcome()) {
            throw CommandFailure("no unit runs in " + unit.root());
        }
        if (Platform::monotonicNow() - began >= std::chrono::milliseconds(timeout)) {
            throw CommandFailure("timed out waiting for " + condition.description);
        }
        Platform::sleepMilliseconds(pollMilliseconds);
    }
    if (arguments.has("--end") || arguments.has("--reset")) {
        CoreSystem::Console::print(unit.outcome().value_or("") + "\n");
    }
    return 0;
}

}  // namespace Sim::Unitsim
