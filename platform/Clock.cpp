#include "platform/Clock.h"

#include <atomic>
#include <thread>

namespace Platform {
namespace {

class SteadyClock final : public Clock {
public:
    Duration now() override {
        return std::chrono::duration_cast<Duration>(
            std::chrono::steady_clock::now().time_since_epoch());
    }
    void sleepFor(Duration duration) override { std::this_thread::sleep_for(duration); }
    bool waitFor(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                 Duration timeout, const std::function<bool()>& ready) override {
        return condition.wait_for(lock, timeout, ready);
    }
};

SteadyClock steadyClock;
std::atomic<Clock*> installedClock{&steadyClock};

}  // namespace

Clock& Clock::current() {
    return *installedClock.load(std::memory_order_acquire);
}

void Clock::install(Clock* clock) {
    installedClock.store(clock != nullptr ? clock : &steadyClock, std::memory_order_release);
}

Clock::Duration monotonicNow() {
    return Clock::current().now();
}

void sleepMilliseconds(long long milliseconds) {
    Clock::current().sleepFor(std::chrono::milliseconds(milliseconds));
}

}  // namespace Platform
