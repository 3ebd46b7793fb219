#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "CoreSystem/Console.h"
#include "sim/unitsim/Arguments.h"
#include "sim/unitsim/Commands.h"
#include "sim/unitsim/UnitFolder.h"
#include "sim/unitsim/panel/PanelServer.h"

namespace Sim::Unitsim {

namespace {

constexpr std::uint32_t highestPort = 65535;
constexpr std::uintmax_t mebibyte = std::uintmax_t{1024} * 1024;
constexpr std::uint32_t defaultUploadLimitMebibytes = 1024;

sigset_t endingSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&signals, signal);
    }
    return signals;
}

int panel(const CommandLine& line) {
    const std::optional<std::string> portText = line.value("--port");
    const std::uint32_t port = portText ? parseUnsigned(*portText, "--port") : 0;
    if (port > highestPort) {
        throw UsageError("--port must be a port number up to 65535, not " + std::to_string(port));
    }
    const std::optional<std::string> uploadLimitText = line.value("--upload-limit");
    const std::uint32_t uploadLimit = uploadLimitText
                                          ? parseUnsigned(*uploadLimitText, "--upload-limit")
                                          : defaultUploadLimitMebibytes;
    const UnitFolder unit = UnitFolder::existing(line.positionals()[0]);
    unit.exportAsUnitRoot();

    // The signals that end the panel are taken by one thread; every other thread, those of the
    // server included, leaves them to it.
    const sigset_t signals = endingSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    PanelServer server(unit, {.uploadLimit = uploadLimit * mebibyte});
    const int bound = server.bind(static_cast<int>(port));
    std::thread ending([&server, signals] {
        int signal = 0;
        ::sigwait(&signals, &signal);
        server.stop();
    });
    CoreSystem::Console::print("unitsim panel: http://127.0.0.1:" + std::to_string(bound) +
                               "/ shows the unit " + unit.root() + " (Ctrl-C ends the panel)\n");
    const bool served = server.serve();
    // Wakes the signal thread when serving ended by itself.
    ::kill(::getpid(), SIGTERM);
    ending.join();
    if (!served) {
        throw CommandFailure("the panel stopped serving");
    }
    return 0;
}

}  // namespace

Command panelCommand() {
    return {
        .name = "panel",
        .summary = "serve the unit's front panel to a browser",
        .usage = "ROOT [--port N] [--upload-limit MIB]",
        .help =
            "Serves the unit's front panel on 127.0.0.1 (a free port unless given; the address "
            "is\nprinted): its screen, keys, stick slot, power and logs in a browser. Uploads "
            "above\n--upload-limit MiB (1024 unless given) are refused. Runs until Ctrl-C.\n",
        .options = {{"--port", OptionKind::value}, {"--upload-limit", OptionKind::value}},
        .minimumArguments = 1,
        .maximumArguments = 1,
        .run = panel,
    };
}

}  // namespace Sim::Unitsim
