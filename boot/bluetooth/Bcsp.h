#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace Platform {
class SerialPort;
}

// The serial link to the Bluetooth chip's boot mode: framed packets with a header checksum and a
// CRC, a window of reliable packets with acknowledgement and go-back-N retransmission, and the
// link-establishment exchange on channel 1. One process-wide link in static storage, driven by
// polling from the caller's thread; never use it from two threads.
namespace Boot::Bluetooth {

// The channel that carries the firmware-download requests and replies.
inline constexpr unsigned bcspDfuChannel = 12;
// The largest payload one send slot holds.
inline constexpr std::size_t bcspSlotPayloadSize = 3447;

// Where the establishment exchange stands.
enum class BcspLinkState : int {
    active = 0,          // conf_resp received: packets flow
    unsynchronised = 1,  // sending sync, nothing heard yet
    synchronised = 2,    // sync or sync_resp heard: waiting for the chip
};

// Whether the link can be used.
enum class [[nodiscard]] BcspLinkStatus : int{
    notEstablished = 0,
    established = 1,
    // The chip restarted under a running link, or the send slots could not be allocated.
    failed = -2,
};

enum class [[nodiscard]] BcspQueueResult : int{
    queued = 0,
    refused = 1,  // the ring is full, the slots are missing or the payload is too long
};

// Receives every trace line of the link with its level (1 faults, 2 details).
using TraceHook = void (*)(int level, const std::string& line);
// The default hook (null) discards the lines; tests may record them.
void bcsp_set_trace_hook(TraceHook hook);

// Allocates the send slots and remembers the serial line, which must stay open until
// bcsp_close. The line may be blocking: the receive step reads only what has arrived.
void bcsp_open(Platform::SerialPort& port);
// Frees the send slots and forgets the line; closing it is the caller's job.
void bcsp_close();
// Resets the counters and runs the establishment exchange (at most 1000 passes of 20 ms).
void bcsp_init();
BcspLinkStatus bcsp_link_status();
// Copies one packet into the next free send slot.
BcspQueueResult bcsp_queue(const std::uint8_t* payload, std::size_t length, unsigned channel);
// One transmit step.
void bcsp_transmit();
// One receive step: a received channel-12 packet (its 4 header bytes, then its payload), valid
// until the next receive step, or nothing.
std::optional<std::span<const std::uint8_t>> bcsp_receive();
// Queues one packet and polls until a packet on `channel` arrives or the timeout passes: the
// packet (as bcsp_receive gives it), or nothing after the timeout.
[[nodiscard]] std::optional<std::span<const std::uint8_t>> bcsp_send_receive(
    const std::uint8_t* payload, std::size_t length, unsigned channel,
    unsigned timeoutMilliseconds);

// The counters of the link, for tests and diagnostics.
struct BcspCounters {
    BcspLinkState linkState = BcspLinkState::unsynchronised;
    unsigned rxSeq = 0;
    unsigned txSeq = 0;
    unsigned lastAckSent = 0;
    int tail = 0;
    int ok = 0;
    int head = 0;
};
BcspCounters bcsp_counters();

}  // namespace Boot::Bluetooth
