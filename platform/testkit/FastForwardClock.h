#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Clock.h"

namespace Platform::Testkit {

// A clock for tests against a peer that runs in real time on its own thread (a simulated
// device). Short sleeps and waits pass through as they are, so the program under test polls
// its peer at the real pace; long ones take only a fraction of their time for real (the peer
// still gets a moment to act) and the rest is skipped: the clock jumps ahead by it. Time thus
// never runs slower than real time. Installs itself for its lifetime.
class FastForwardClock final : public Platform::Clock {
public:
    FastForwardClock(Duration passThroughUpTo, int speedUp)
        : passThroughUpTo_(passThroughUpTo), speedUp_(speedUp) {
        Clock::install(this);
    }
    FastForwardClock(const FastForwardClock&) = delete;
    FastForwardClock& operator=(const FastForwardClock&) = delete;
    FastForwardClock(FastForwardClock&&) = delete;
    FastForwardClock& operator=(FastForwardClock&&) = delete;
    ~FastForwardClock() override { Clock::install(nullptr); }

    Duration now() override {
        return std::chrono::duration_cast<Duration>(
                   std::chrono::steady_clock::now().time_since_epoch()) +
               Duration(skipped_.load());
    }
    void sleepFor(Duration duration) override {
        if (duration <= passThroughUpTo_) {
            std::this_thread::sleep_for(duration);
            return;
        }
        const Duration real = duration / speedUp_;
        std::this_thread::sleep_for(real);
        skipped_ += (duration - real).count();
    }
    bool waitFor(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                 Duration timeout, const std::function<bool()>& ready) override {
        if (timeout <= passThroughUpTo_) {
            return condition.wait_for(lock, timeout, ready);
        }
        const Duration real = timeout / speedUp_;
        const auto start = std::chrono::steady_clock::now();
        if (condition.wait_for(lock, real, ready)) {
            // Only the part of the wait that passed is skipped ahead, in proportion.
            const auto waited = std::chrono::steady_clock::now() - start;
            skipped_ += std::chrono::duration_cast<Duration>(waited * (speedUp_ - 1)).count();
            return true;
        }
        skipped_ += (timeout - real).count();
        return false;
    }

private:
    Duration passThroughUpTo_;
    int speedUp_;
    std::atomic<Duration::rep> skipped_{0};
};

}  // namespace Platform::Testkit
