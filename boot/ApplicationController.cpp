#include "boot/ApplicationController.h"

#include <cstdio>
#include <vector>

#include "CoreSystem/HardwareManager.h"
#include "CoreSystem/Utilities.h"
#include "boot/LoaderKey.h"
#include "boot/ui/UIState.h"
#include "platform/Clock.h"
#include "platform/FileSync.h"
#include "platform/LocalNames.h"
#include "platform/PhysicalMemory.h"
#include "platform/Process.h"
#include "platform/UnitRoot.h"

namespace Boot {

namespace {

using CoreSystem::Utilities;
using HardwareManager = CoreSystem::Hardware::Manager;

constexpr const char* companionPath = "/tmp/VeldApp";
constexpr const char* productionTestPath = "/fs/etfs/ProductionTest";
constexpr long long searchPauseMilliseconds = 1000;
constexpr long long unusablePartitionPauseMilliseconds = 60'000;

}  // namespace

bool ApplicationController::waitScreenShown = false;

ApplicationController::ApplicationController() : ui_(this), installManager_(ui_, loaderKey()) {}

ApplicationController::~ApplicationController() {
    {
        const std::lock_guard lock(watcherMutex_);
        stoppingWatcher_ = true;
    }
    watcherWake_.notify_all();
    if (watcher_ && watcher_->joinable()) {
        watcher_->join();
    }
}

InstallStatus ApplicationController::installPackage(const std::string& packagePath) {
    return installManager_.install(packagePath);
}

int ApplicationController::run() {
    ui_.setLayout(static_cast<int>(HardwareManager::displayType()));
    ui_.setMode(static_cast<int>(HardwareManager::variantCode()));
    // The name only lets the companion find the loader; the loader works on without it.
    static_cast<void>(Platform::LocalNames::attach("Bootloader"));
    if (const std::string companion = Platform::UnitRoot::hostPath(companionPath);
        Utilities::exists(companion)) {
        // Started in the background: the shell's status says nothing about the companion.
        static_cast<void>(Platform::Process::system(Utilities::shellQuoted(companion) + " -b &"));
    }
    checkDataPartition();
    HardwareManager::incrementBootCount();
    const std::string productionTest = Platform::UnitRoot::hostPath(productionTestPath);
    // A link in the program's place that leads out of the unit root is neither opened up nor run.
    if (Utilities::exists(productionTest) && Utilities::isInsideUnitRoot(productionTest)) {
        // A program that stays closed fails to start, which the shell's logged status shows.
        static_cast<void>(Utilities::changeMode(productionTest, "777"));
        Utilities::runShell(Utilities::shellQuoted(productionTest) + " &");
    }
    startShutdownRequestWatcher();
    return searchForPackages();
}

void ApplicationController::checkDataPartition() {
    if (HardwareManager::checkDataPartition()) {
        return;
    }
    ui_.showFormatScreen();
    if (!HardwareManager::checkDataPartition()) {
        // The armed power-management watchdog resets the unit shortly after.
        Platform::sleepMilliseconds(unusablePartitionPauseMilliseconds);
        HardwareManager::shutdown();
    }
}

int ApplicationController::searchForPackages() {
    for (;;) {
        const std::string updatePath = InstallManager::updatePackagePath();
        // Only a regular file: opening a named pipe would wait for ever.
        if (Utilities::isRegularFile(updatePath)) {
            return installUpdatePackage(updatePath);
        }
        std::vector<std::string> names;
        Utilities::listDirectory(Utilities::stickPath(""), names, ".kx1", true);
        if (!names.empty()) {
            return offerStickPackages(names);
        }
        idle();
        Platform::sleepMilliseconds(searchPauseMilliseconds);
    }
}

void ApplicationController::idle() {
    if (shutdownRequested_.load()) {
        HardwareManager::shutdown();
    } else if (!waitScreenShown) {
        ui_.showWaitScreen();
        waitScreenShown = true;
    } else if (UIState* state = ui_.currentState(); state != nullptr) {
        // The wait screen stays; whatever successor it names is not taken.
        [[maybe_unused]] const StateChange ignored = state->handleButton(ui_.pollButton());
    }
}

int ApplicationController::installUpdatePackage(const std::string& updatePath) {
    ui_.runDirectInstall({PackageEntry{"update.kx1", updatePath}});
    std::remove(updatePath.c_str());
    // Should the removal not reach storage, the package is found again after the reset and
    // installed once more, which leaves the same state.
    static_cast<void>(Platform::FileSync::syncFileSystem(Utilities::autoloadPath("")));
    ui_.showResultScreen();
    HardwareManager::shutdown();
    return 0;
}

int ApplicationController::offerStickPackages(const std::vector<std::string>& names) {
    std::vector<PackageEntry> packages;
    packages.reserve(names.size());
    for (const std::string& name : names) {
        packages.push_back({name, Utilities::stickPath(name)});
    }
    ui_.runFileSelection(packages);
    ui_.showResultScreen();
    HardwareManager::shutdown();
    return 0;
}

void ApplicationController::startShutdownRequestWatcher() {
    if (!watcher_) {
        watcher_ = std::make_unique<std::thread>(shutdownRequestWatcher, this);
    }
}

bool ApplicationController::pauseWatcher() {
    std::unique_lock lock(watcherMutex_);
    Platform::Clock::current().waitFor(watcherWake_, lock,
                                       std::chrono::milliseconds(shutdownRequestSampleMilliseconds),
                                       [this] { return stoppingWatcher_; });
    return !stoppingWatcher_;
}

void ApplicationController::shutdownRequestWatcher(ApplicationController* controller) {
    if (!Platform::PhysicalMemory::obtainIoPrivilege()) {
        return;
    }
    const Platform::PhysicalMemory gpio =
        Platform::PhysicalMemory::map(shutdownRequestRegister, sizeof(std::uint32_t), false);
    if (!gpio.isMapped()) {
        return;
    }
    // The flag follows the input only after two equal samples in a row.
    bool previousHigh = false;
    bool havePrevious = false;
    while (controller->pauseWatcher()) {
        const bool high = (gpio.read32(0) & shutdownRequestBit) != 0;
        if (havePrevious && high == previousHigh) {
            controller->shutdownRequested_.store(high);
        }
        previousHigh = high;
        havePrevious = true;
    }
}

}  // namespace Boot
