#pragma once

#include <atomic>
#include <functional>
#include <mutex>

#include "platform/Clock.h"

namespace Platform::Testkit {

// A clock for unit tests: time moves only when the code under test sleeps or waits, and
// then at once. Installs itself for its lifetime.
class FakeClock final : public Clock {
public:
    FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;
    FakeClock(FakeClock&&) = delete;
    FakeClock& operator=(FakeClock&&) = delete;
    ~FakeClock() override;

    Duration now() override { return Duration(now_.load()); }
    void sleepFor(Duration duration) override;
    // Returns at once: true when `ready` already holds, else the time-out passes.
    bool waitFor(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                 Duration timeout, const std::function<bool()>& ready) override;

    void advance(Duration duration);
    // Total time spent in sleepFor.
    Duration slept() const { return Duration(slept_.load()); }
    // Called with the new time after every advance (for example, to make a path appear).
    void onAdvance(std::function<void(Duration)> callback);

private:
    std::atomic<Duration::rep> now_{0};
    std::atomic<Duration::rep> slept_{0};
    std::mutex callbackMutex_;
    std::function<void(Duration)> callback_;
};

}  // namespace Platform::Testkit
