#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "CoreSystem/Console.h"
#include "sim/common/UnitPaths.h"
#include "sim/unitsim/Arguments.h"
#include "sim/unitsim/Commands.h"
#include "sim/unitsim/Supervisor.h"
#include "sim/unitsim/UnitFolder.h"

namespace Sim::Unitsim {

namespace {

namespace fs = std::filesystem;

// What the supervisor may still need to end the run after its time limit.
constexpr long long endingAllowanceMilliseconds = 30000;

std::vector<CoreSystem::CommandOption> startOptions() {
    return {{"--lcd", OptionKind::value},
            {"--backlight", OptionKind::value},
            {"--argument"},
            {"--capture", OptionKind::value},
            {"--env", OptionKind::repeatedValue},
            {"--loader", OptionKind::value}};
}

constexpr std::array<const char*, 4> sanitizerVariables = {"ASAN_OPTIONS", "UBSAN_OPTIONS",
                                                           "TSAN_OPTIONS", "LSAN_OPTIONS"};

std::string absolutePath(const std::string& path) {
    return fs::absolute(path).lexically_normal().string();
}

// The loader's whole environment: the unit's own variables, the sanitizers' settings of the
// caller and the person's extra pairs. UNIT_ROOT and PATH keep the loader inside the unit, so
// they cannot be replaced.
std::vector<std::string> loaderEnvironment(const UnitFolder& unit, const CommandLine& line,
                                           const std::optional<std::string>& captureFolder) {
    std::map<std::string, std::string> variables;
    for (const char* name : sanitizerVariables) {
        if (const char* value = std::getenv(name)) {
            variables[name] = value;
        }
    }
    for (const std::string& pair : line.values("--env")) {
        const auto equals = pair.find('=');
        if (equals == 0 || equals == std::string::npos) {
            throw UsageError("--env takes NAME=VALUE, not '" + pair + "'");
        }
        const std::string name = pair.substr(0, equals);
        if (name == "UNIT_ROOT" || name == "PATH") {
            throw UsageError("--env cannot replace " + name +
                             ", which keeps the loader in the unit");
        }
        variables[name] = pair.substr(equals + 1);
    }
    if (const std::optional<std::string> lcd = line.value("--lcd")) {
        variables["feature_lcd"] = *lcd;
    }
    if (const std::optional<std::string> backlight = line.value("--backlight")) {
        variables["feature_backlight"] = *backlight;
    }
    if (captureFolder) {
        variables["SCREEN_CAPTURE_DIR"] = *captureFolder;
    }
    variables["UNIT_ROOT"] = unit.root();
    variables["PATH"] = unit.hostPath("/tmp") + ":" + unit.hostPath("/var/sim/bin");
    std::vector<std::string> environment;
    environment.reserve(variables.size());
    for (const auto& [name, value] : variables) {
        environment.push_back(name);
        environment.back().append("=").append(value);
    }
    return environment;
}

LaunchPlan launchPlan(const UnitFolder& unit, const CommandLine& line) {
    LaunchPlan plan;
    plan.loaderPath =
        line.value("--loader")
            ? absolutePath(*line.value("--loader"))
            : fs::path(UnitFolder::programFolder()).parent_path().string() + "/boot/bootloader";
    if (::access(plan.loaderPath.c_str(), X_OK) != 0) {
        throw CommandFailure("the loader " + plan.loaderPath + " is not an executable file");
    }
    plan.loaderArguments = {"bootloader"};
    if (line.has("--argument")) {
        plan.loaderArguments.emplace_back("test");
    }
    if (const std::optional<std::string> capture = line.value("--capture")) {
        plan.captureFolder = absolutePath(*capture);
        std::error_code error;
        fs::create_directories(*plan.captureFolder, error);
        if (!fs::is_directory(*plan.captureFolder)) {
            throw CommandFailure(*plan.captureFolder + ": cannot be made as a folder");
        }
    }
    plan.environment = loaderEnvironment(unit, line, plan.captureFolder);
    return plan;
}

int start(const CommandLine& line) {
    const UnitFolder unit = UnitFolder::existing(line.positionals()[0]);
    Supervisor::start(unit, launchPlan(unit, line));
    CoreSystem::Console::print("started unit " + unit.root() + "\n");
    return 0;
}

int run(const CommandLine& line) {
    const UnitFolder unit = UnitFolder::existing(line.positionals()[0]);
    LaunchPlan plan = launchPlan(unit, line);
    const long long timeLimit = timeoutMilliseconds(line);
    plan.timeLimitMilliseconds = timeLimit;
    Supervisor::start(unit, plan);
    std::optional<std::string> outcome =
        Supervisor::awaitOutcome(unit, timeLimit + endingAllowanceMilliseconds);
    if (!outcome) {
        Supervisor::stop(unit);
        outcome = unit.outcome();
    }
    const std::string ending = outcome.value_or("unknown");
    CoreSystem::Console::print(ending + "\n");
    return ending == "timeout" || !outcome ? 1 : 0;
}

int stop(const CommandLine& line) {
    const UnitFolder unit = UnitFolder::existing(line.positionals()[0]);
    if (!Supervisor::stop(unit)) {
        throw CommandFailure("no unit runs in " + unit.root());
    }
    CoreSystem::Console::print(unit.outcome().value_or("stopped") + "\n");
    return 0;
}

}  // namespace

Command startCommand() {
    return {
        .name = "start",
        .summary = "start the unit's boot drivers and its loader under a supervisor",
        .usage =
            "ROOT [--lcd VALUE] [--backlight VALUE] [--argument] [--capture DIR]\n"
            "[--env NAME=VALUE]... [--loader PATH]",
        .help =
            "Starts the unit's boot drivers and its loader under a supervisor and returns "
            "once the\nloader runs. --argument starts it as \"bootloader test\"; --capture "
            "keeps every frame in DIR;\n--loader runs another program in the loader's "
            "place.\n",
        .options = startOptions(),
        .minimumArguments = 1,
        .maximumArguments = 1,
        .run = start,
    };
}

Command runCommand() {
    std::vector<CoreSystem::CommandOption> options = startOptions();
    options.push_back({"--timeout", OptionKind::value});
    return {
        .name = "run",
        .summary = "start the unit and wait for the end of the run",
        .usage = "ROOT [start options] [--timeout SECONDS]",
        .help =
            "Starts the unit, waits for the end of the run (60 s unless given) and prints "
            "its outcome;\na run that takes too long is stopped with the outcome "
            "\"timeout\" (exit 1).\n",
        .options = std::move(options),
        .minimumArguments = 1,
        .maximumArguments = 1,
        .run = run,
    };
}

Command stopCommand() {
    return {
        .name = "stop",
        .summary = "end the running unit and everything it started",
        .usage = "ROOT",
        .help = "Ends the running unit and everything it started, and prints the outcome.\n",
        .minimumArguments = 1,
        .maximumArguments = 1,
        .run = stop,
    };
}

}  // namespace Sim::Unitsim
