// Measures a firmware download to the simulated Bluetooth module over a line paced like the
// unit's (115200 baud, even parity: 11 bits a byte, 10472 bytes a second), against the time
// the bytes on the wire need at that rate.
//
//   bluetooth_bench [SIZE [TRANSFER_SIZE]]   SIZE of the image (K, M suffixes; default 256K),
//                                            TRANSFER_SIZE bytes per block (default 1024)
//
// The link's 10 ms polls run in real time; only the fixed 5 s wait after the final reset is
// skipped. The time runs from the start of the download to the module's manifestation.
// Exit status: 0 when the module received the exact image, 1 when not, 2 when the run failed.
#include <fcntl.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "CoreSystem/Console.h"
#include "boot/bluetooth/Bcsp.h"
#include "boot/bluetooth/Dfu.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"
#include "platform/testkit/FastForwardClock.h"
#include "sim/bluetooth/SimulatedChip.h"

namespace {

using CoreSystem::Console;
using namespace std::chrono_literals;

constexpr double lineBytesPerSecond = 10472.0;
constexpr std::size_t defaultSize = std::size_t{256} * 1024;
constexpr unsigned long defaultTransferSize = 1024;
constexpr std::uint32_t newBuild = 2;

std::vector<std::uint8_t> firmwareImage(std::size_t size) {
    const std::string header =
        "CSR-dfu2 benchmark image, firmware build " + std::to_string(newBuild);
    std::vector<std::uint8_t> image(header.begin(), header.end());
    BenchSupport::SplitMix64 generator(42);
    while (image.size() < size) {
        image.push_back(static_cast<std::uint8_t>(generator.next()));
    }
    image.resize(size);
    return image;
}

// Where the chip stood when it had manifested the image: its wire counters at that moment.
struct Manifested {
    std::chrono::steady_clock::time_point at;
    std::uint64_t bytesReceived = 0;
    std::uint64_t bytesSent = 0;
};

}  // namespace

int main(int argumentCount, char** arguments) {
    const std::optional<std::size_t> size =
        argumentCount > 1 ? BenchSupport::parseSize(arguments[1]) : defaultSize;
    const unsigned long transferSize =
        argumentCount > 2 ? std::strtoul(arguments[2], nullptr, 10) : defaultTransferSize;
    if (!size || *size < 64 || transferSize == 0 || transferSize > 3439) {
        Console::print(
            "usage: bluetooth_bench [SIZE [TRANSFER_SIZE]] (SIZE >= 64, 1 <= "
            "TRANSFER_SIZE <= 3439)\n");
        return 2;
    }
    const Platform::Testkit::FastForwardClock clock{100ms, 1000};

    Sim::ChipOptions options;
    options.pace = true;
    options.device.build = 1;
    options.device.transferSize = static_cast<std::uint16_t>(transferSize);
    const Sim::SimulatedChip chip(options);
    Platform::SerialPort line =
        Platform::SerialPort::adopt(open(chip.slavePath().c_str(), O_RDWR | O_NOCTTY));
    constexpr std::string_view bootCommand = "\r\nBOOT 1\r\n";
    if (!line.isOpen() || line.write(bootCommand.data(), bootCommand.size()) !=
                              static_cast<long>(bootCommand.size())) {
        Console::print("bluetooth_bench: cannot talk to the simulated module\n");
        return 2;
    }
    Boot::Bluetooth::bcsp_open(line);
    Boot::Bluetooth::bcsp_init();
    if (Boot::Bluetooth::bcsp_link_status() != Boot::Bluetooth::BcspLinkStatus::established ||
        Boot::Bluetooth::dfu_enter_dfu_mode() !=
            Boot::Bluetooth::DfuModeResult::detachAndResetSent) {
        Console::print("bluetooth_bench: the module did not come up\n");
        return 2;
    }
    Platform::sleepMilliseconds(200);
    Boot::Bluetooth::bcsp_init();

    const std::vector<std::uint8_t> image = firmwareImage(*size);
    const Sim::ChipReport before = chip.report();
    Manifested manifested;
    std::thread watcher([&chip, &manifested] {
        chip.waitUntil(
            [&manifested](const Sim::ChipReport& report) {
                if (report.manifestations == 0) {
                    return false;
                }
                manifested = {std::chrono::steady_clock::now(), report.bytesReceived,
                              report.bytesSent};
                return true;
            },
            30min);
    });
    const auto start = std::chrono::steady_clock::now();
    const Boot::Bluetooth::DfuDownloadResult result =
        Boot::Bluetooth::dfu_download(image.data(), image.size());
    watcher.join();
    Boot::Bluetooth::bcsp_close();
    line.close();

    const Sim::ChipReport after = chip.report();
    if (result != Boot::Bluetooth::DfuDownloadResult::done || after.manifestations != 1 ||
        after.manifestedImage != image || after.runningBuild != newBuild) {
        Console::printf("bluetooth_bench: download failed (result %d)\n", static_cast<int>(result));
        return 1;
    }
    const double seconds = std::chrono::duration<double>(manifested.at - start).count();
    const std::uint64_t toModule = manifested.bytesReceived - before.bytesReceived;
    const std::uint64_t fromModule = manifested.bytesSent - before.bytesSent;
    const double lowerBound =
        static_cast<double>(std::max(toModule, fromModule)) / lineBytesPerSecond;
    Console::printf("bluetooth_bench: image %zu bytes, transfer size %lu\n", image.size(),
                    transferSize);
    Console::printf("bluetooth_bench: on the wire %llu bytes to the module, %llu from it\n",
                    static_cast<unsigned long long>(toModule),
                    static_cast<unsigned long long>(fromModule));
    Console::printf(
        "bluetooth_bench: download %.2f s, line-rate lower bound %.2f s, %.1f %% of "
        "line rate\n",
        seconds, lowerBound, 100.0 * lowerBound / seconds);
    // Frames sent again count in the wire bytes above; the image alone shows what they cost.
    const double imageBound = static_cast<double>(image.size()) / lineBytesPerSecond;
    Console::printf(
        "bluetooth_bench: %u frames received again; the image alone needs %.2f s, "
        "%.1f %% of line rate\n",
        after.duplicatesReceived - before.duplicatesReceived, imageBound,
        100.0 * imageBound / seconds);
    Console::printf(
        "result download_s=%.4f line_rate_s=%.4f line_share_ratio=%.4f image_at_line_rate_s=%.4f "
        "image_share_ratio=%.4f\n",
        seconds, lowerBound, lowerBound / seconds, imageBound, imageBound / seconds);
    return 0;
}
