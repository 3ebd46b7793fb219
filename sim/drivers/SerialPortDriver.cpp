#include "sim/drivers/SerialPortDriver.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <system_error>
#include <utility>

#include "sim/common/StandinProcess.h"

namespace Sim {
namespace {

constexpr const char* eventLog = "bluetooth.log";
// How often the recorder looks at the stop request while the chip is quiet.
constexpr std::chrono::milliseconds stopPoll{50};

}  // namespace

SerialPortDriver::SerialPortDriver(std::string hostPath, const ChipOptions& options)
    : hostPath_(std::move(hostPath)), chip_(options) {
    if (::symlink(chip_.slavePath().c_str(), hostPath_.c_str()) != 0) {
        throw std::system_error(errno, std::generic_category(), "serial port link " + hostPath_);
    }
    recorder_ = std::thread([this] { recordEvents(); });
}

SerialPortDriver::~SerialPortDriver() {
    stopping_ = true;
    recorder_.join();
    ::unlink(hostPath_.c_str());
}

void SerialPortDriver::recordEvents() {
    ChipReport seen = chip_.report();
    StandinProcess::appendReceivedLine(eventLog, "build " + std::to_string(seen.runningBuild));
    while (!stopping_) {
        const bool changed = chip_.waitUntil(
            [&seen](const ChipReport& report) {
                return report.dfuMode != seen.dfuMode ||
                       report.manifestations != seen.manifestations ||
                       report.runningBuild != seen.runningBuild;
            },
            stopPoll);
        if (!changed) {
            continue;
        }
        const ChipReport report = chip_.report();
        if (report.dfuMode && !seen.dfuMode) {
            StandinProcess::appendReceivedLine(eventLog, "DFU mode");
        }
        if (report.manifestations != seen.manifestations) {
            StandinProcess::appendReceivedLine(
                eventLog, "downloaded " + std::to_string(report.manifestedImage.size()) + " bytes");
            std::ofstream image(StandinProcess::receivedFile("bluetooth-firmware.bin"),
                                std::ios::binary | std::ios::trunc);
            image.write(reinterpret_cast<const char*>(report.manifestedImage.data()),
                        static_cast<std::streamsize>(report.manifestedImage.size()));
        }
        if (report.runningBuild != seen.runningBuild) {
            StandinProcess::appendReceivedLine(eventLog,
                                               "build " + std::to_string(report.runningBuild));
        }
        seen = report;
    }
}

}  // namespace Sim
