#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "boot/ApplicationController.h"
#include "platform/testkit/FakeClock.h"

namespace {

using Boot::ApplicationController;
using namespace std::chrono_literals;

// Drives the GPIO input sample by sample: before the watcher takes sample k, the register gets
// level k of the schedule, and the flag as it stands after sample k - 1 is recorded.
class GpioSchedule {
public:
    GpioSchedule(const std::string& memoryPath, std::vector<bool> levels)
        : levels_(std::move(levels)),
          memory_(::open(memoryPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        EXPECT_GE(memory_, 0);
        EXPECT_EQ(::ftruncate(memory_, ApplicationController::shutdownRequestRegister + 4), 0);
    }
    GpioSchedule(const GpioSchedule&) = delete;
    GpioSchedule& operator=(const GpioSchedule&) = delete;
    GpioSchedule(GpioSchedule&&) = delete;
    GpioSchedule& operator=(GpioSchedule&&) = delete;
    ~GpioSchedule() { ::close(memory_); }

    void beforeSample(std::size_t sample, bool flag) {
        const std::lock_guard lock(mutex_);
        if (sample >= 1 && sample <= levels_.size() && flags_.size() < sample) {
            flags_.push_back(flag);
        }
        if (sample < levels_.size()) {
            const std::uint32_t value =
                levels_[sample] ? ApplicationController::shutdownRequestBit | 0x1U : 0x1U;
            EXPECT_EQ(::pwrite(memory_, &value, sizeof value,
                               static_cast<off_t>(ApplicationController::shutdownRequestRegister)),
                      static_cast<ssize_t>(sizeof value));
        } else {
            done_ = true;
            // The watcher has nothing left to sample; keep it from spinning through fake time.
            std::this_thread::sleep_for(1ms);
        }
    }
    bool done() {
        const std::lock_guard lock(mutex_);
        return done_;
    }
    std::vector<bool> flags() {
        const std::lock_guard lock(mutex_);
        return flags_;
    }

private:
    std::vector<bool> levels_;
    int memory_;
    std::mutex mutex_;
    std::vector<bool> flags_;
    bool done_ = false;
};

TEST(ShutdownRequestWatcherTest, TheFlagFollowsTheInputAfterTwoEqualSamples) {
    struct Case {
        const char* name;
        std::vector<bool> levels;
        std::vector<bool> flags;  // after each sample
    };
    const std::vector<Case> cases = {
        {"raised for one sample", {false, true, false, false}, {false, false, false, false}},
        {"raised for two samples",
         {false, true, true, false, false},
         {false, false, true, true, false}},
        {"raised from the first sample", {true, true, true}, {false, true, true}},
        {"one low sample in a raised input",
         {true, true, false, true, false, false},
         {false, true, true, true, true, false}},
    };
    for (const Case& row : cases) {
        const TestSupport::TemporaryUnitRoot root;
        Platform::Testkit::FakeClock clock;
        GpioSchedule schedule(root.prepare("/dev/mem"), row.levels);
        ApplicationController controller;
        const auto interval =
            std::chrono::milliseconds(ApplicationController::shutdownRequestSampleMilliseconds);
        clock.onAdvance([&](Platform::Clock::Duration now) {
            const auto sample = static_cast<std::size_t>(now / interval) - 1;
            schedule.beforeSample(sample, controller.shutdownRequested());
        });
        controller.startShutdownRequestWatcher();
        while (!schedule.done()) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_EQ(schedule.flags(), row.flags) << row.name;
        clock.onAdvance(nullptr);
    }
}

TEST(ShutdownRequestWatcherTest, WithoutTheRegisterTheFlagStaysDown) {
    const TestSupport::TemporaryUnitRoot root;
    Platform::Testkit::FakeClock clock;
    std::atomic<int> samples{0};
    clock.onAdvance([&](Platform::Clock::Duration) { ++samples; });
    ApplicationController controller;
    controller.startShutdownRequestWatcher();
    std::this_thread::sleep_for(50ms);
    // No dev/mem: the mapping fails and the watcher ends before its first pause.
    EXPECT_EQ(samples.load(), 0);
    EXPECT_FALSE(controller.shutdownRequested());
    clock.onAdvance(nullptr);
}

}  // namespace
