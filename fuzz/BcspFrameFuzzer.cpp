// Feeds arbitrary bytes from the chip's end of a serial line to the link's receiver, with a few
// packets of the loader's own in flight so that acknowledgements are processed too. Every
// packet handed up must be a whole channel-12 packet that matches its own header.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "BcspTestPeer.h"
#include "boot/bluetooth/Bcsp.h"
#include "boot/bluetooth/BcspFrame.h"

namespace {

// Made on first use: the loader's end blocks, but the chip's end is drained after every step.
BcspTestPeer::Peer& line() {
    static BcspTestPeer::Peer peer;
    return peer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Boot::Bluetooth;
    line().readWire();
    bcsp_open(line().loaderPort());
    const std::array<std::uint8_t, 3> payload = {0xC0, 0xDB, 0x01};
    for (int packet = 0; packet < 6; ++packet) {
        if (bcsp_queue(payload.data(), payload.size(), bcspDfuChannel) != BcspQueueResult::queued) {
            std::abort();  // the ring holds 19 packets and was empty
        }
    }
    line().write(std::span(data, size));
    // One read takes at most the input buffer; a few idle steps in a row mean the line is empty.
    for (int idle = 0; idle < 3;) {
        bcsp_transmit();
        const auto packet = bcsp_receive();
        line().readWire();
        if (!packet) {
            ++idle;
            continue;
        }
        idle = 0;
        if (packet->size() < BcspFrame::headerSize) {
            std::abort();
        }
        const BcspFrame::Header header =
            BcspFrame::decodeHeader(packet->first<BcspFrame::headerSize>());
        if (header.channel != bcspDfuChannel ||
            packet->size() != BcspFrame::headerSize + header.payloadLength) {
            std::abort();
        }
    }
    bcsp_close();
    return 0;
}
