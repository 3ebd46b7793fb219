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

constexpr long long defaultTimeoutMilliseconds = 60000;
// What the supervisor may still need to end the run after its time limit.
constexpr long long endingAllowanceMilliseconds = 30000;

constexpr std::array<OptionSpecification, 7> startOptions = {{{"--lcd", true},
                                                              {"--backlight", true},
                                                              {"--argument"},
                                                              {"--capture", true},
                                                              {"--env", true},
                                                              {"--loader", true},
                                                              {"--timeout", true}}};

constexpr std::array<const char*, 4> sanitizerVariables = {"ASAN_OPTIONS", "UBSAN_OPTIONS",
                                                           "TSAN_OPTIONS", "LSAN_OPTIONS"};

std::string absolutePath(const std::string& path) {
    return fs::absolute(path).lexically_normal().string();
}

// The loader's whole environment: the unit's own variables, the sanitizers' settings of the
// caller and the person's extra pairs. UNIT_ROOT and PATH keep the loader inside the unit, so
// they cannot be replaced.
std::vector<std::string> loaderEnvironment(const UnitFolder& unit, const Arguments& arguments,
                                           const std::optional<std::string>& captureFolder) {
    std::map<std::string, std::string> variables;
    for (const char* name : sanitizerVariables) {
        if (const char* value = std::getenv(name)) {
            variables[name] = value;
        }
    }
    for (const std::string& pair : arguments.values("--env")) {
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
    if (const std::optional<std::string> lcd = arguments.value("--lcd")) {
        variables["feature_lcd"] = *lcd;
    }
    if (const std::optional<std::string> backlight = arguments.value("--backlight")) {
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

LaunchPlan launchPlan(const UnitFolder& unit, const Arguments& arguments) {
    LaunchPlan plan;
    plan.loaderPath =
        arguments.value("--loader")
            ? absolutePath(*arguments.value("--loader"))
            : fs::path(UnitFolder::programFolder()).parent_path().string() + "/boot/bootloader";
    if (::access(plan.loaderPath.c_str(), X_OK) != 0) {
        throw CommandFailure("the loader " + plan.loaderPath + " is not an executable file");
    }
    plan.loaderArguments = {"bootloader"};
    if (arguments.has("--argument")) {
        plan.loaderArguments.emplace_back("test");
    }
    if (const std::optional<std::string> capture = arguments.value("--capture")) {
        plan.captureFolder = absolutePath(*capture);
        std::error_code error;
        fs::create_directories(*plan.captureFolder, error);
        if (!fs::is_directory(*plan.captureFolder)) {
            throw CommandFailure(*plan.captureFolder + ": cannot be made as a folder");
        }
    }
    plan.environment = loaderEnvironment(unit, arguments, plan.captureFolder);
    return plan;
}

}  // namespace

int startCommand(const Words& words) {
    const Arguments arguments(words, std::span(startOptions).first(startOptions.size() - 1));
    arguments.requirePositionals(1, 1);
    const UnitFolder unit = UnitFolder::existing(arguments.positionals()[0]);
    Supervisor::start(unit, launchPlan(unit, arguments));
    CoreSystem::Console::print("started unit " + unit.root() + "\n");
    return 0;
}

int runCommand(const Words& words) {
    const Arguments arguments(words, startOptions);
    arguments.requirePositionals(1, 1);
    const UnitFolder unit = UnitFolder::existing(arguments.positionals()[0]);
    LaunchPlan plan = launchPlan(unit, arguments);
    const long long timeLimit =
        arguments.value("--timeout")
            ? parseSecondsAsMilliseconds(*arguments.value("--timeout"), "--timeout")
            : defaultTimeoutMilliseconds;
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

int stopCommand(const Words& words) {
    const Arguments arguments(words, {});
    arguments.requirePositionals(1, 1);
    const UnitFolder unit = UnitFolder::existing(arguments.positionals()[0]);
    if (!Supervisor::stop(unit)) {
        throw CommandFailure("no unit runs in " + unit.root());
    }
    CoreSystem::Console::print(unit.outcome().value_or("stopped") + "\n");
    return 0;
}

}  // namespace Sim::Unitsim
