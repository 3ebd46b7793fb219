// Serves one simulated Bluetooth module on a pseudo-terminal until SIGTERM or SIGINT, and
// prints the slave path (also into a file with --path-file).
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

#include "sim/bluetooth/SimulatedChip.h"

namespace {

void printUsage() {
    std::cerr << "usage: btchip [--build N] [--transfer-size N] [--poll-timeout MS]\n"
                 "              [--busy-polls N] [--pace] [--no-build-in-banner] [--silent]\n"
                 "              [--path-file FILE]\n";
}

bool parseNumber(const char* text, unsigned long& value) {
    char* end = nullptr;
    value = std::strtoul(text, &end, 10);
    return end != text && *end == '\0';
}

}  // namespace

int main(int argumentCount, char** arguments) {
    Sim::ChipOptions options;
    options.device.build = 1234;
    std::string pathFile;
    for (int index = 1; index < argumentCount; ++index) {
        const std::string_view argument = arguments[index];
        const bool hasValue = index + 1 < argumentCount;
        unsigned long number = 0;
        if (argument == "--pace") {
            options.pace = true;
        } else if (argument == "--no-build-in-banner") {
            options.bannerNamesBuild = false;
        } else if (argument == "--silent") {
            options.answersBcsp = false;
        } else if (argument == "--path-file" && hasValue) {
            pathFile = arguments[++index];
        } else if (hasValue && parseNumber(arguments[index + 1], number)) {
            ++index;
            if (argument == "--build") {
                options.device.build = static_cast<std::uint32_t>(number);
            } else if (argument == "--transfer-size") {
                options.device.transferSize = static_cast<std::uint16_t>(number);
            } else if (argument == "--poll-timeout") {
                options.device.pollTimeout = static_cast<std::uint32_t>(number);
            } else if (argument == "--busy-polls") {
                options.device.busyPollsPerBlock = static_cast<unsigned>(number);
            } else {
                printUsage();
                return 2;
            }
        } else {
            printUsage();
            return 2;
        }
    }

    // The signals are taken by sigwait below, not by a handler; the chip's thread inherits
    // the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const Sim::SimulatedChip chip(options);
    if (!pathFile.empty()) {
        std::ofstream(pathFile) << chip.slavePath() << '\n';
    }
    std::cout << chip.slavePath() << std::endl;
    int received = 0;
    sigwait(&stopSignals, &received);
    return 0;
}
