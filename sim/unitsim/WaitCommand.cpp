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

constexpr int pollMilliseconds = 20;

std::size_t countFrames(const std::string& folder) {
    std::error_code error;
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (capturedFrameNumber(entry.path().filename().string())) {
            ++count;
        }
    }
    return count;
}

std::string captureFolder(const UnitFolder& unit) {
    std::optional<std::string> folder = unit.captureFolder();
    if (!folder) {
        throw CommandFailure("the unit was started without --capture; no frames are kept");
    }
    return *folder;
}

// What a wait waits for: `reached` says whether it came; once the run has ended and it has not
// come, it never will.
struct Condition {
    std::string description;
    std::function<bool()> reached;
};

Condition conditionFrom(const UnitFolder& unit, const CommandLine& line) {
    const int chosen = (line.has("--end") ? 1 : 0) + (line.has("--reset") ? 1 : 0) +
                       (line.has("--output") ? 1 : 0) + (line.has("--frames") ? 1 : 0);
    if (chosen != 1) {
        throw UsageError("give exactly one of --end, --reset, --output TEXT, --frames N");
    }
    if (line.has("--end")) {
        return {"the end of the run", [unit] { return unit.outcome().has_value(); }};
    }
    if (line.has("--reset")) {
        return {"a reset", [unit] { return unit.outcome() == "reset"; }};
    }
    if (const std::optional<std::string> text = line.value("--output")) {
        return {"'" + *text + "' in the loader output", [unit, text = *text] {
                    const std::optional<std::string> output =
                        readWholeFile(unit.hostPath(UnitPaths::loaderOutput));
                    return output && output->find(text) != std::string::npos;
                }};
    }
    const std::uint32_t frames = parseUnsigned(*line.value("--frames"), "--frames");
    return {std::to_string(frames) + " captured frames",
            [folder = captureFolder(unit), frames] { return countFrames(folder) >= frames; }};
}

int wait(const CommandLine& line) {
    const UnitFolder unit = UnitFolder::existing(line.positionals()[0]);
    const Condition condition = conditionFrom(unit, line);
    const long long timeout = timeoutMilliseconds(line);
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
    if (line.has("--end") || line.has("--reset")) {
        CoreSystem::Console::print(unit.outcome().value_or("") + "\n");
    }
    return 0;
}

}  // namespace

Command waitCommand() {
    return {
        .name = "wait",
        .summary = "wait for the end of the run, a reset, loader output or frames",
        .usage = "ROOT (--end | --reset | --output TEXT | --frames N) [--timeout SECONDS]",
        .help =
            "Waits (60 s unless given) for the end of the run (printing its outcome), for a "
            "reset, for\nTEXT in the loader output or for N captured frames. Exit 1 when the "
            "time runs out or the\nrun ends without it.\n",
        .options = {{"--end"},
                    {"--reset"},
                    {"--output", OptionKind::value},
                    {"--frames", OptionKind::value},
                    {"--timeout", OptionKind::value}},
        .minimumArguments = 1,
        .maximumArguments = 1,
        .run = wait,
    };
}

}  // namespace Sim::Unitsim
