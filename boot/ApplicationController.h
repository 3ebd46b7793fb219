#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "boot/InstallManager.h"
#include "boot/ui/UIManager.h"
#include "boot/ui/UIOwner.h"

namespace Boot {

// The loader's top-level object: it brings up the UI and the install manager, starts the
// loader-mode companion, makes sure the data partition is usable, and then waits for a package:
// the update package in the data root is installed at once, packages on the USB stick are
// offered for selection. Every install ends with the result screen and a hardware shutdown.
class ApplicationController final : public UIOwner {
public:
    // The GPIO input-data register whose bit 11 asks for a shutdown.
    static constexpr std::uint64_t shutdownRequestRegister = 0xE605580C;
    static constexpr std::uint32_t shutdownRequestBit = 0x800;
    static constexpr long long shutdownRequestSampleMilliseconds = 200;

    ApplicationController();
    // Stops and joins the watcher thread before the members it reads go away.
    ~ApplicationController() override;
    ApplicationController(const ApplicationController&) = delete;
    ApplicationController& operator=(const ApplicationController&) = delete;
    ApplicationController(ApplicationController&&) = delete;
    ApplicationController& operator=(ApplicationController&&) = delete;

    // Every package must then carry a seal by `key`, which must outlive the controller.
    void requireSeal(const PackageSeal::Key& key) { installManager_.package().requireSeal(key); }

    // Does not return while the loader waits for a package; returns 0.
    int run();

    InstallStatus installPackage(const std::string& packagePath) override;

    bool shutdownRequested() const { return shutdownRequested_.load(); }
    // Starts the watcher thread (once); run does this after the boot count.
    void startShutdownRequestWatcher();
    // The watcher's body: samples the GPIO input until the controller stops it.
    static void shutdownRequestWatcher(ApplicationController* controller);

private:
    void checkDataPartition();
    void startCompanionAndProductionTest();
    int searchForPackages();
    int installUpdatePackage(const std::string& updatePath);
    int offerStickPackages(const std::vector<std::string>& names);
    void idle();
    // Sleeps for the sampling interval; false once the controller is stopping the watcher.
    bool pauseWatcher();

    UIManager ui_;
    InstallManager installManager_;
    std::unique_ptr<std::thread> watcher_;
    std::atomic<bool> shutdownRequested_{false};

    std::mutex watcherMutex_;
    std::condition_variable watcherWake_;
    bool stoppingWatcher_ = false;

    // Set once the wait screen has been entered; later idle rounds feed it buttons instead.
    static bool waitScreenShown;
};

}  // namespace Boot
