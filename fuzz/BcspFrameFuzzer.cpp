// Feeds arbitrary bytes from the chip's end of a serial line to the link's receiver, with a few
// packets of the loader's own in flight so that acknowledgements are processed too. Every
// packet handed up must be a whole channel-12 packet that matches its own header.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "boot/bluetooth/Bcsp.h"
#include "boot/bluetooth/BcspFrame.h"

namespace {

std::array<int, 2> line{-1, -1};

void drain(int descriptor) {
    std::array<std::uint8_t, 4096> buffer{};
    while (::recv(descriptor, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, line.data()) != 0) {
        std::abort();
    }
    // The link's answers (sync, conf_resp, acknowledgements) must never block on a full line.
    for (const int descriptor : line) {
        ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Boot::Bluetooth;
    drain(line[0]);
    drain(line[1]);
    bcsp_open(line[0]);
    const std::array<std::uint8_t, 3> payload = {0xC0, 0xDB, 0x01};
    for (int packet = 0; packet < 6; ++packet) {
        bcsp_queue(payload.data(), payload.size(), bcspDfuChannel);
    }
    std::size_t written = 0;
    while (written < size) {
        const ssize_t count = ::send(line[1], data + written, size - written, MSG_DONTWAIT);
        if (count <= 0) {
            break;
        }
        written += static_cast<std::size_t>(count);
    }
    // One read takes at most the input buffer; a few idle steps in a row mean the line is empty.
    for (int idle = 0; idle < 3;) {
        bcsp_transmit();
        const auto packet = bcsp_receive();
        drain(line[1]);
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
