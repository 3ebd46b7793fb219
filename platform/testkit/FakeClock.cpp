#include "platform/testkit/FakeClock.h"

namespace Platform::Testkit {

FakeClock::FakeClock() {
    Clock::install(this);
}

FakeClock::~FakeClock() {
    Clock::install(nullptr);
}

void FakeClock::sleepFor(Duration duration) {
    slept_ += duration.count();
    advance(duration);
}

bool FakeClock::waitFor(std::condition_variable& /*condition*/, std::unique_lock<std::mutex>& lock,
                        Duration timeout, const std::function<bool()>& ready) {
    if (ready()) {
        return true;
    }
    lock.unlock();
    advance(timeout);
    lock.lock();
    return ready();
}

void FakeClock::advance(Duration duration) {
    const Duration time(now_ += duration.count());
    std::function<void(Duration)> callback;
    {
        const std::lock_guard guard(callbackMutex_);
        callback = callback_;
    }
    if (callback) {
        callback(time);
    }
}

void FakeClock::onAdvance(std::function<void(Duration)> callback) {
    const std::lock_guard guard(callbackMutex_);
    callback_ = std::move(callback);
}

}  // namespace Platform::Testkit
