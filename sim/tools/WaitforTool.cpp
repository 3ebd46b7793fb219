#include <charconv>
#include <cmath>

#include "platform/Waitfor.h"
#include "sim/tools/Tools.h"

namespace Sim::Tools {

namespace {

constexpr double defaultSeconds = 5.0;
// The longest wait accepted, so that the milliseconds fit an int.
constexpr double longestSeconds = 86400.0;
constexpr int pollMilliseconds = 10;

bool parseSeconds(const std::string& text, double& seconds) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, seconds);
    return error == std::errc() && stop == end && std::isfinite(seconds) && seconds >= 0.0 &&
           seconds <= longestSeconds;
}

}  // namespace

int runWaitfor(const ToolCall& call) {
    const auto& arguments = call.arguments;
    if (arguments.empty() || arguments.size() > 2) {
        return call.wrongUsage("expected a path and an optional time-out");
    }
    double seconds = defaultSeconds;
    if (arguments.size() == 2 && !parseSeconds(arguments[1], seconds)) {
        return call.wrongUsage("bad time-out '" + arguments[1] + "'");
    }
    if (!call.allowsPath(arguments[0])) {
        return failure;
    }
    const int milliseconds = static_cast<int>(std::lround(seconds * 1000.0));
    if (Platform::waitfor(arguments[0], milliseconds, pollMilliseconds) != 0) {
        return call.fail("timed out waiting for " + arguments[0]);
    }
    return success;
}

}  // namespace Sim::Tools
