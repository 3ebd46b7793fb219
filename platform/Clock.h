#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace Platform {

// The one seam through which the program reads the monotonic clock, sleeps and waits with a
// time-out. The real clock is installed by default; unit tests install a fake one so that
// polls and time-outs cost no real time.
class Clock {
public:
    using Duration = std::chrono::nanoseconds;

    Clock() = default;
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;
    Clock(Clock&&) = delete;
    Clock& operator=(Clock&&) = delete;
    virtual ~Clock() = default;

    // Time on the monotonic clock.
    virtual Duration now() = 0;
    virtual void sleepFor(Duration duration) = 0;
    // Waits on `condition` (with `lock` held) until `ready` holds or `timeout` has passed;
    // returns what `ready` says at the end.
    virtual bool waitFor(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                         Duration timeout, const std::function<bool()>& ready) = 0;

    // The clock in use.
    static Clock& current();
    // Installs `clock` for the whole process; null restores the real clock.
    static void install(Clock* clock);
};

// Shorthands for the clock in use.
Clock::Duration monotonicNow();
void sleepMilliseconds(long long milliseconds);

}  // namespace Platform
