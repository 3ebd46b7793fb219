// Plays the chip in a download: every request of the loader is answered with the next piece of
// the input (a length byte, then that many bytes as the reply), framed properly on the link.
// When the input runs out the chip falls silent. Time is a fake clock, so waits cost nothing.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "BcspTestPeer.h"
#include "boot/bluetooth/Bcsp.h"
#include "boot/bluetooth/BcspFrame.h"
#include "boot/bluetooth/Dfu.h"
#include "platform/testkit/FakeClock.h"

namespace {

using namespace Boot::Bluetooth;

BcspTestPeer::Peer& line() {
    static BcspTestPeer::Peer peer;
    return peer;
}

std::span<const std::uint8_t> script;
unsigned chipSeq = 0;
unsigned expectedSeq = 0;

// Answers each new data frame of the loader (channel 12, the sequence number expected next)
// with the next piece of the script.
void answerRequests() {
    for (const BcspTestPeer::Frame& frame : line().readFrames()) {
        if (frame.bytes.size() < BcspFrame::headerSize || frame.channel() != bcspDfuChannel ||
            frame.seq() != expectedSeq) {
            continue;
        }
        expectedSeq = (expectedSeq + 1) % 8;
        if (script.empty()) {
            continue;
        }
        const std::size_t length = std::min<std::size_t>(script[0], script.size() - 1);
        const auto reply = script.subspan(1, length);
        script = script.subspan(1 + length);
        line().sendPacket(chipSeq, expectedSeq, bcspDfuChannel, reply);
        chipSeq = (chipSeq + 1) % 8;
    }
}

Platform::Testkit::FakeClock* fakeClock = nullptr;

bool isModeResult(DfuModeResult result) {
    switch (result) {
        case DfuModeResult::detachAndResetSent:
        case DfuModeResult::notInApplication:
        case DfuModeResult::stateUnreadable:
        case DfuModeResult::downloadNotSupported:
            return true;
    }
    return false;
}

bool isDownloadResult(DfuDownloadResult result) {
    switch (result) {
        case DfuDownloadResult::done:
        case DfuDownloadResult::emptyImage:
        case DfuDownloadResult::notIdle:
        case DfuDownloadResult::downloadNotSupported:
        case DfuDownloadResult::statusBeforeBlock:
        case DfuDownloadResult::statusAfterBusy:
        case DfuDownloadResult::stateAfterBusy:
        case DfuDownloadResult::blockRefused:
        case DfuDownloadResult::finalStatus:
        case DfuDownloadResult::finalState:
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    fakeClock = new Platform::Testkit::FakeClock;
    fakeClock->onAdvance([](auto) { answerRequests(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    line().readWire();
    bcsp_open(line().loaderPort());
    line().write(BcspFrame::confResponseFrame);
    script = {};
    bcsp_init();
    if (bcsp_link_status() != BcspLinkStatus::established) {
        std::abort();
    }
    chipSeq = 0;
    expectedSeq = 0;
    script = std::span(data, size);
    const DfuModeResult entered = dfu_enter_dfu_mode();
    std::array<std::uint8_t, 40> image{};
    image.fill(0x5A);
    const DfuDownloadResult downloaded = dfu_download(image.data(), image.size());
    // Whatever the chip says, the results are among the defined ones.
    if (!isModeResult(entered) || !isDownloadResult(downloaded)) {
        std::abort();
    }
    bcsp_close();
    return 0;
}
