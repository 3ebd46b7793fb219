#include "platform/Waitfor.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/Clock.h"

namespace Platform {

int waitfor(const std::string& hostPath, int maximumMilliseconds, int pollMilliseconds) {
    const Clock::Duration deadline =
        monotonicNow() + std::chrono::milliseconds(maximumMilliseconds);
    const auto poll = std::chrono::milliseconds(pollMilliseconds > 0 ? pollMilliseconds : 1);
    for (;;) {
        struct stat status {};
        if (stat(hostPath.c_str(), &status) == 0) {
            return 0;
        }
        const Clock::Duration now = monotonicNow();
        if (now >= deadline) {
            errno = ETIMEDOUT;
            return -1;
        }
        Clock::current().sleepFor(std::min<Clock::Duration>(poll, deadline - now));
    }
}

}  // namespace Platform
