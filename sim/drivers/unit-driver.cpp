// The simulated unit's stand-in device drivers, one program for all of them: the driver is the
// name the program is called by, or its first argument when it is called "unit-driver".
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UnitRoot.h"
#include "sim/common/StandinProcess.h"
#include "sim/common/UnitConfiguration.h"
#include "sim/common/UnitPaths.h"
#include "sim/drivers/DriverPlan.h"
#include "sim/drivers/GenericDriver.h"
#include "sim/drivers/IoInterfaceDriver.h"
#include "sim/drivers/IplControlDriver.h"
#include "sim/drivers/KeyDriver.h"
#include "sim/drivers/PmicI2cDriver.h"
#include "sim/drivers/SerialPortDriver.h"
#include "sim/drivers/TouchDriver.h"

namespace {

using Sim::DriverPlan;

constexpr int usageExitStatus = 2;

void printUsage(std::FILE* stream) {
    std::string names;
    for (const std::string_view name : DriverPlan::driverNames()) {
        names += names.empty() ? "" : " ";
        names += name;
    }
    std::fprintf(stream,
                 "usage: unit-driver NAME [ARGUMENT]... (or called as NAME)\n"
                 "Serves NAME's device path beneath UNIT_ROOT when it is missing.\n"
                 "NAME: %s\n",
                 names.c_str());
}

bool pathExists(const std::string& hostPath) {
    struct stat status {};
    return ::lstat(hostPath.c_str(), &status) == 0;
}

std::unique_ptr<Sim::StandinDriver> makeDriver(DriverPlan::Kind kind, const std::string& hostPath,
                                               const Sim::UnitConfiguration& configuration) {
    switch (kind) {
        case DriverPlan::Kind::key:
            return std::make_unique<Sim::KeyDriver>(hostPath);
        case DriverPlan::Kind::touch:
            return std::make_unique<Sim::TouchDriver>(hostPath);
        case DriverPlan::Kind::ioInterface:
            return std::make_unique<Sim::IoInterfaceDriver>(hostPath);
        case DriverPlan::Kind::iplControl:
            return std::make_unique<Sim::IplControlDriver>(
                hostPath, Platform::UnitRoot::hostPath(Sim::UnitPaths::factoryDataFolder));
        case DriverPlan::Kind::pmicI2c:
            return std::make_unique<Sim::PmicI2cDriver>(
                hostPath, Platform::UnitRoot::hostPath(Sim::UnitPaths::resetMarker));
        case DriverPlan::Kind::serialPort: {
            Sim::ChipOptions options;
            options.device.build = configuration.bluetoothBuild;
            return std::make_unique<Sim::SerialPortDriver>(hostPath, options);
        }
        case DriverPlan::Kind::generic:
        case DriverPlan::Kind::screen:
            break;
    }
    return std::make_unique<Sim::GenericDriver>(hostPath);
}

// The background child: serves the missing paths until SIGTERM (or SIGINT), then removes them.
int serve(DriverPlan::Kind kind, const std::vector<std::string>& hostPaths,
          const Sim::UnitConfiguration& configuration) {
    // Blocked before any thread starts, so that every thread inherits the mask and the signal
    // is taken here only.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::vector<std::unique_ptr<Sim::StandinDriver>> drivers;
    try {
        for (const std::string& hostPath : hostPaths) {
            drivers.push_back(makeDriver(kind, hostPath, configuration));
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "unit-driver: %s\n", failure.what());
        return 1;
    }
    int received = 0;
    sigwait(&stopSignals, &received);
    return 0;
}

int run(std::string_view name, const std::vector<std::string>& arguments) {
    std::string error;
    const std::optional<DriverPlan> plan = DriverPlan::forCommand(name, arguments, error);
    if (!plan) {
        std::fprintf(stderr, "unit-driver: %s\n", error.c_str());
        return usageExitStatus;
    }
    const Sim::UnitConfiguration configuration = Sim::UnitConfiguration::loadCurrent();
    if (!plan->attachment.empty() && !configuration.isAttached(plan->attachment)) {
        return 0;
    }
    std::vector<std::string> allPaths;
    std::vector<std::string> missingPaths;
    for (const std::string& unitPath : plan->devicePaths) {
        const std::string hostPath = Platform::UnitRoot::hostPath(unitPath);
        if (!Sim::StandinProcess::isInsideUnitRoot(hostPath)) {
            std::fprintf(stderr, "unit-driver: %s lies outside the unit root\n", hostPath.c_str());
            return 1;
        }
        allPaths.push_back(hostPath);
        if (!pathExists(hostPath)) {
            missingPaths.push_back(hostPath);
        }
    }
    if (missingPaths.empty()) {
        return 0;
    }
    std::error_code folderError;
    std::filesystem::create_directories(std::filesystem::path(missingPaths.front()).parent_path(),
                                        folderError);
    if (plan->kind == DriverPlan::Kind::screen) {
        // The loader's window writes its frames into this folder; nothing needs to stay running.
        std::filesystem::create_directory(missingPaths.front(), folderError);
        return folderError ? 1 : 0;
    }
    return Sim::StandinProcess::continueInBackground(
        name, [&] { return serve(plan->kind, missingPaths, configuration); },
        [&allPaths] { return std::ranges::all_of(allPaths, pathExists); });
}

}  // namespace

int main(int argumentCount, char** argumentValues) {
    const std::vector<std::string> words(argumentValues, argumentValues + argumentCount);
    std::string name = std::filesystem::path(words.empty() ? "" : words.front()).filename();
    std::vector<std::string> arguments(words.begin() + (words.empty() ? 0 : 1), words.end());
    if (name == "unit-driver") {
        if (arguments.empty()) {
            printUsage(stderr);
            return usageExitStatus;
        }
        name = arguments.front();
        arguments.erase(arguments.begin());
    }
    if (name == "--help" || (arguments.size() == 1 && arguments.front() == "--help")) {
        printUsage(stdout);
        return 0;
    }
    Sim::StandinProcess::requireUnitRoot();
    Sim::StandinProcess::recordCommand(name, arguments);
    return run(name, arguments);
}
