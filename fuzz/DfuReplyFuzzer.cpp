// Plays the chip in a download: every request of the loader is answered with the next piece of
// the input (a length byte, then that many bytes as the reply), framed properly on the link.
// When the input runs out the chip falls silent. Time is a fake clock, so waits cost nothing.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

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

std::array<int, 2> line{-1, -1};
std::span<const std::uint8_t> script;
unsigned chipSeq = 0;
unsigned expectedSeq = 0;

std::vector<std::uint8_t> readLine() {
    std::vector<std::uint8_t> wire;
    std::array<std::uint8_t, 4096> buffer{};
    ssize_t count = 0;
    while ((count = ::recv(line[1], buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0) {
        wire.insert(wire.end(), buffer.begin(), buffer.begin() + count);
    }
    return wire;
}

void send(const std::vector<std::uint8_t>& wire) {
    static_cast<void>(::send(line[1], wire.data(), wire.size(), MSG_DONTWAIT));
}

// Answers each new data frame of the loader (channel 12, the sequence number expected next)
// with the next piece of the script.
void answerRequests() {
    for (const BcspTestPeer::Frame& frame : BcspTestPeer::parseWire(readLine())) {
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
        send(BcspTestPeer::encodeFrame(BcspTestPeer::reliableHeader(chipSeq, expectedSeq),
                                       bcspDfuChannel, reply));
        chipSeq = (chipSeq + 1) % 8;
    }
}

Platform::Testkit::FakeClock* fakeClock = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, line.data()) != 0) {
        std::abort();
    }
    for (const int descriptor : line) {
        ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
    }
    fakeClock = new Platform::Testkit::FakeClock;
    fakeClock->onAdvance([](auto) { answerRequests(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    readLine();
    bcsp_open(line[0]);
    send({BcspFrame::confResponseFrame.begin(), BcspFrame::confResponseFrame.end()});
    script = {};
    bcsp_init();
    if (bcsp_link_status() != 1) {
        std::abort();
    }
    chipSeq = 0;
    expectedSeq = 0;
    script = std::span(data, size);
    const int entered = dfu_enter_dfu_mode();
    std::array<std::uint8_t, 40> image{};
    image.fill(0x5A);
    const int downloaded = dfu_download(image.data(), image.size());
    if (entered > 0 || entered < -4 || downloaded > 0 || downloaded < -10) {
        std::abort();
    }
    bcsp_close();
    return 0;
}
