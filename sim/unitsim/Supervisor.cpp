#include "sim/unitsim/Supervisor.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <span>

#include "CoreSystem/Console.h"
#include "CoreSystem/Utilities.h"
#include "platform/Clock.h"
#include "sim/common/UnitPaths.h"
#include "sim/unitsim/Arguments.h"
#include "sim/unitsim/ProcessTable.h"

namespace Sim::Unitsim {

namespace {

constexpr int pollMilliseconds = 10;
// After SIGTERM the run's processes get this long to end before SIGKILL.
constexpr long long terminateGraceMilliseconds = 2000;
// A process that survives this much of SIGKILL is stuck in the kernel; the supervisor gives up.
constexpr long long killLimitMilliseconds = 10000;
// A boot driver's command returns once its device exists; one that takes longer is left running.
constexpr long long driverStartMilliseconds = 10000;
constexpr long long stopLimitMilliseconds = killLimitMilliseconds + 10000;
constexpr int notRunStatus = 127;
// Where start-up's notes and errors pass from the unit to `start` over the start-up channel.
constexpr std::string_view notePrefix = "note: ";
constexpr std::string_view errorPrefix = "error: ";
constexpr const char* startLock = "/var/run/start.lock";

constexpr std::array<int, 3> stopSignals = {SIGTERM, SIGINT, SIGHUP};

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int /*signal*/) {
    stopRequested = 1;
}

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    for (const int signal : stopSignals) {
        ::sigaction(signal, &action, nullptr);
    }
}

void restoreDefaultSignals() {
    for (const int signal : stopSignals) {
        ::signal(signal, SIG_DFL);
    }
}

long long elapsedMilliseconds(Platform::Clock::Duration since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Platform::monotonicNow() - since)
        .count();
}

bool exists(const std::string& hostPath) {
    std::error_code error;
    return std::filesystem::exists(hostPath, error);
}

void writeTextFile(const std::string& hostPath, const std::string& text) {
    CoreSystem::Utilities::replaceFile(
        hostPath, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// Standard input from /dev/null, standard output and error appended to `hostPath`.
void redirectOutput(const std::string& hostPath, int extraFlags) {
    const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int output =
        ::open(hostPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | extraFlags, 0644);
    if (input >= 0) {
        ::dup2(input, STDIN_FILENO);
        ::close(input);
    }
    if (output >= 0) {
        ::dup2(output, STDOUT_FILENO);
        ::dup2(output, STDERR_FILENO);
        ::close(output);
    }
}

// Passes one start-up line to `start` and keeps it in the unit's own output too.
void report(int channel, std::string_view prefix, const std::string& text) {
    const std::string line = std::string(prefix) + text + "\n";
    [[maybe_unused]] const ssize_t toStart = ::write(channel, line.data(), line.size());
    const std::string logged = "unitsim: " + text + "\n";
    [[maybe_unused]] const ssize_t toOutput = ::write(STDERR_FILENO, logged.data(), logged.size());
}

std::vector<char*> pointers(std::vector<std::string>& words) {
    std::vector<char*> result;
    result.reserve(words.size() + 1);
    for (std::string& word : words) {
        result.push_back(word.data());
    }
    result.push_back(nullptr);
    return result;
}

// Runs "unit-driver NAME" from the unit's tool folder and waits for its command to return (its
// device then exists; the driver goes on in the background, in the unit's process group).
void startBootDriver(const UnitFolder& unit, const std::string& driver,
                     const std::vector<char*>& environment, int channel) {
    const std::string program = unit.hostPath(UnitPaths::platformToolsFolder) + "unit-driver";
    const std::string command = "unit-driver " + driver;
    if (::access(program.c_str(), X_OK) != 0) {
        report(channel, notePrefix,
               "boot driver '" + command + "' is missing; going on without it");
        return;
    }
    std::vector<std::string> words = {"unit-driver", driver};
    const std::vector<char*> argv = pointers(words);
    const pid_t process = ::fork();
    if (process == 0) {
        ::execve(program.c_str(), argv.data(), environment.data());
        ::_exit(notRunStatus);
    }
    if (process < 0) {
        report(channel, notePrefix, "cannot start '" + command + "': " + std::strerror(errno));
        return;
    }
    const auto began = Platform::monotonicNow();
    int status = 0;
    while (::waitpid(process, &status, WNOHANG) == 0) {
        if (elapsedMilliseconds(began) >= driverStartMilliseconds) {
            report(channel, notePrefix, "'" + command + "' has not returned; going on");
            return;
        }
        Platform::sleepMilliseconds(pollMilliseconds);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        report(channel, notePrefix,
               "'" + command + "' failed (status " + std::to_string(status) + "); going on");
    }
}

// The unit's first process: founds the unit's process group, starts the boot drivers and
// becomes the loader.
[[noreturn]] void runUnit(const UnitFolder& unit, const LaunchPlan& plan, int channel) {
    ::setpgid(0, 0);
    writeTextFile(unit.hostPath(UnitPaths::unitProcessGroup), std::to_string(::getpid()) + "\n");
    restoreDefaultSignals();
    redirectOutput(unit.hostPath(UnitPaths::loaderOutput), O_TRUNC);
    std::vector<std::string> environmentWords = plan.environment;
    const std::vector<char*> environment = pointers(environmentWords);
    for (const std::string& driver : Supervisor::bootDrivers()) {
        startBootDriver(unit, driver, environment, channel);
    }
    std::vector<std::string> argumentWords = plan.loaderArguments;
    const std::vector<char*> argv = pointers(argumentWords);
    ::execve(plan.loaderPath.c_str(), argv.data(), environment.data());
    report(channel, errorPrefix,
           "cannot run the loader " + plan.loaderPath + ": " + std::strerror(errno));
    ::_exit(notRunStatus);
}

std::string describeEnd(const siginfo_t& information) {
    if (information.si_code == CLD_EXITED) {
        return "exit " + std::to_string(information.si_status);
    }
    return "signal " + std::to_string(information.si_status);
}

// Watches the run until it ends; returns the outcome. Children that end meanwhile (stand-ins
// the supervisor inherited) are reaped; the loader is left unreaped, so that its process id,
// which is also the unit's process group id, stays taken until everything is ended.
std::string watch(const UnitFolder& unit, pid_t loader, std::optional<long long> timeLimit) {
    const std::string resetMarker = unit.hostPath(UnitPaths::resetMarker);
    const auto began = Platform::monotonicNow();
    while (true) {
        if (exists(resetMarker)) {
            return "reset";
        }
        siginfo_t information{};
        while (::waitid(P_ALL, 0, &information, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               information.si_pid != 0 && information.si_pid != loader) {
            ::waitpid(information.si_pid, nullptr, 0);
            information = siginfo_t{};
        }
        if (information.si_pid == loader) {
            return exists(resetMarker) ? "reset" : describeEnd(information);
        }
        if (stopRequested != 0) {
            return "stopped";
        }
        if (timeLimit && elapsedMilliseconds(began) >= *timeLimit) {
            return "timeout";
        }
        Platform::sleepMilliseconds(pollMilliseconds);
    }
}

// Every process of the run that has not ended: the unit's process group and the supervisor's
// own children (which include whatever left the group and was inherited).
std::vector<ProcessEntry> liveProcessesOfRun(pid_t group) {
    const pid_t self = ::getpid();
    std::vector<ProcessEntry> live;
    for (const ProcessEntry& entry : ProcessTable::scan()) {
        if (entry.id != self && !entry.hasEnded() &&
            (entry.group == group || entry.parent == self)) {
            live.push_back(entry);
        }
    }
    return live;
}

// Signals every live process of the run outside the unit's process group that has not had the
// signal yet: the supervisor inherits such processes one by one while the run ends.
void signalOutsiders(pid_t group, int signal, std::set<pid_t>& signalled) {
    for (const ProcessEntry& entry : liveProcessesOfRun(group)) {
        if (entry.group != group && signalled.insert(entry.id).second) {
            ::kill(entry.id, signal);
        }
    }
}

void reapEndedChildren(pid_t keep) {
    const pid_t self = ::getpid();
    for (const ProcessEntry& entry : ProcessTable::scan()) {
        if (entry.parent == self && entry.hasEnded() && entry.id != keep) {
            ::waitpid(entry.id, nullptr, 0);
        }
    }
}

// SIGTERM to everything of the run, SIGKILL to what is left after the grace time, then reaps it
// all, the loader last.
void endRun(pid_t loader) {
    const auto began = Platform::monotonicNow();
    std::set<pid_t> terminated;
    ::kill(-loader, SIGTERM);
    signalOutsiders(loader, SIGTERM, terminated);
    while (!liveProcessesOfRun(loader).empty() &&
           elapsedMilliseconds(began) < terminateGraceMilliseconds + killLimitMilliseconds) {
        reapEndedChildren(loader);
        if (elapsedMilliseconds(began) < terminateGraceMilliseconds) {
            signalOutsiders(loader, SIGTERM, terminated);
        } else {
            ::kill(-loader, SIGKILL);
            std::set<pid_t> killed;
            signalOutsiders(loader, SIGKILL, killed);
        }
        Platform::sleepMilliseconds(pollMilliseconds);
    }
    ::waitpid(loader, nullptr, 0);
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

[[noreturn]] void supervise(const UnitFolder& unit, const LaunchPlan& plan, int channel) {
    installStopHandlers();
    ::setsid();
    if (::chdir(unit.root().c_str()) != 0) {
        report(channel, errorPrefix, "cannot enter " + unit.root());
        ::_exit(1);
    }
    redirectOutput(unit.hostPath(UnitsimPaths::supervisorLog), 0);
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    writeTextFile(unit.hostPath(UnitPaths::supervisorProcess), std::to_string(::getpid()) + "\n");
    const pid_t loader = ::fork();
    if (loader == 0) {
        runUnit(unit, plan, channel);
    }
    if (loader > 0) {
        // Also from this side, so that the group exists before the run can be ended.
        ::setpgid(loader, loader);
    }
    std::string outcome = "exit " + std::to_string(notRunStatus);
    if (loader < 0) {
        report(channel, errorPrefix, std::string("cannot start the unit: ") + std::strerror(errno));
        ::close(channel);
    } else {
        ::close(channel);
        outcome = watch(unit, loader, plan.timeLimitMilliseconds);
        endRun(loader);
    }
    writeTextFile(unit.hostPath(UnitPaths::runOutcome), outcome + "\n");
    std::printf("unitsim: run ended: %s\n", outcome.c_str());
    std::fflush(stdout);
    ::unlink(unit.hostPath(UnitPaths::supervisorProcess).c_str());
    ::_exit(0);
}

// Passes start-up's lines on; returns the first error.
std::optional<std::string> relayStartup(int channel) {
    std::string received;
    std::array<char, 512> buffer{};
    ssize_t count = 0;
    while ((count = ::read(channel, buffer.data(), buffer.size())) != 0) {
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        received.append(buffer.data(), static_cast<std::size_t>(count));
    }
    std::optional<std::string> error;
    std::size_t start = 0;
    for (std::size_t end = received.find('\n'); end != std::string::npos;
         start = end + 1, end = received.find('\n', start)) {
        const std::string_view line = std::string_view(received).substr(start, end - start);
        if (line.starts_with(errorPrefix)) {
            error = error.value_or(std::string(line.substr(errorPrefix.size())));
        } else if (line.starts_with(notePrefix)) {
            CoreSystem::Console::print("unitsim: " + std::string(line.substr(notePrefix.size())) +
                                       "\n");
        }
    }
    return error;
}

// An exclusive lock on the unit's start, held while `start` checks and launches.
class StartLock {
public:
    explicit StartLock(const UnitFolder& unit)
        : handle_(::open(unit.hostPath(startLock).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (handle_ < 0 || ::flock(handle_, LOCK_EX) != 0) {
            throw CommandFailure(unit.hostPath(startLock) + ": cannot be locked");
        }
    }
    StartLock(const StartLock&) = delete;
    StartLock& operator=(const StartLock&) = delete;
    StartLock(StartLock&&) = delete;
    StartLock& operator=(StartLock&&) = delete;
    ~StartLock() { ::close(handle_); }

    int handle() const { return handle_; }

private:
    int handle_;
};

}  // namespace

const std::vector<std::string>& Supervisor::bootDrivers() {
    static const std::vector<std::string> drivers = {"key", "iplctl",
                                                     "devb-mmcsd-rcarm2-trevanic-mmc"};
    return drivers;
}

void Supervisor::start(const UnitFolder& unit, const LaunchPlan& plan) {
    const StartLock lock(unit);
    if (const std::optional<pid_t> running = unit.runningSupervisor()) {
        throw CommandFailure("a unit runs in " + unit.root() + " already (supervisor " +
                             std::to_string(*running) + "); stop it first");
    }
    for (const char* stale :
         {UnitPaths::supervisorProcess, UnitPaths::runOutcome, UnitPaths::resetMarker,
          UnitPaths::unitProcessGroup, UnitsimPaths::captureFolderRecord}) {
        ::unlink(unit.hostPath(stale).c_str());
    }
    if (plan.captureFolder) {
        writeTextFile(unit.hostPath(UnitsimPaths::captureFolderRecord), *plan.captureFolder + "\n");
    }
    std::array<int, 2> channel{};
    if (::pipe2(channel.data(), O_CLOEXEC) != 0) {
        throw CommandFailure(std::string("cannot make a pipe: ") + std::strerror(errno));
    }
    std::fflush(nullptr);
    const pid_t supervisor = ::fork();
    if (supervisor == 0) {
        ::close(lock.handle());
        ::close(channel[0]);
        supervise(unit, plan, channel[1]);
    }
    ::close(channel[1]);
    if (supervisor < 0) {
        ::close(channel[0]);
        throw CommandFailure(std::string("cannot start the supervisor: ") + std::strerror(errno));
    }
    const std::optional<std::string> error = relayStartup(channel[0]);
    ::close(channel[0]);
    if (error) {
        throw CommandFailure(*error);
    }
}

bool Supervisor::stop(const UnitFolder& unit) {
    const std::optional<pid_t> supervisor = unit.runningSupervisor();
    if (!supervisor) {
        return false;
    }
    ::kill(*supervisor, SIGTERM);
    const auto began = Platform::monotonicNow();
    while (unit.runningSupervisor()) {
        if (elapsedMilliseconds(began) >= stopLimitMilliseconds) {
            throw CommandFailure("the supervisor " + std::to_string(*supervisor) +
                                 " did not end the run");
        }
        Platform::sleepMilliseconds(pollMilliseconds);
    }
    return true;
}

std::optional<std::string> Supervisor::awaitOutcome(const UnitFolder& unit,
                                                    long long timeoutMilliseconds) {
    const auto began = Platform::monotonicNow();
    while (true) {
        if (std::optional<std::string> outcome = unit.outcome()) {
            return outcome;
        }
        if (!unit.runningSupervisor()) {
            return unit.outcome();
        }
        if (elapsedMilliseconds(began) >= timeoutMilliseconds) {
            return std::nullopt;
        }
        Platform::sleepMilliseconds(pollMilliseconds);
    }
}

}  // namespace Sim::Unitsim
