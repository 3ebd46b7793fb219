#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "sim/bluetooth/BcspCodec.h"

namespace Sim {

// The chip's side of a BCSP link: link establishment (shy, curious, garrulous), reliable
// delivery with its own window and go-back-N retransmission, and acknowledgement of the
// peer's reliable packets. Frames leave through `send`; time is passed in by the caller.
class ChipLink {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Milliseconds = std::chrono::milliseconds;

    struct Settings {
        std::size_t window = 4;
        Milliseconds retransmitAfter{250};
        Milliseconds establishInterval{250};  // between syncs, and between confs
    };
    struct Counters {
        unsigned retransmissions = 0;
        unsigned duplicatesReceived = 0;  // reliable packets out of sequence, dropped and re-acked
    };

    ChipLink(Settings settings, std::function<void(const BcspPacket&)> send);

    // Starts over as after power-up: shy, sequence numbers 0, nothing queued.
    void restart(TimePoint now);
    // Handles a frame that passed its checks; returns the payloads delivered on channel 12.
    std::vector<std::vector<std::uint8_t>> receive(const BcspPacket& packet, TimePoint now);
    // Queues a reliable packet on `channel`.
    void queue(std::uint8_t channel, std::vector<std::uint8_t> payload);
    // Runs the timers and sends what is due.
    void service(TimePoint now);
    // When `service` next has something to do on its own.
    TimePoint nextDeadline() const;
    bool established() const { return state_ == State::Garrulous; }
    const Counters& counters() const { return counters_; }

private:
    enum class State { Shy, Curious, Garrulous };
    struct Outgoing {
        BcspPacket packet;
        TimePoint sentAt;
    };

    void sendLinkMessage(std::span<const std::uint8_t> payload);
    void sendReliable(Outgoing& outgoing, TimePoint now);
    void takeAcknowledgement(std::uint8_t acknowledgement);

    Settings settings_;
    std::function<void(const BcspPacket&)> send_;
    State state_ = State::Shy;
    TimePoint nextEstablishMessage_{};
    std::uint8_t receiveSequence_ = 0;   // expected next from the peer; the ack we send
    std::uint8_t transmitSequence_ = 0;  // given to the next queued packet
    bool acknowledgementDue_ = false;
    std::deque<Outgoing> unacknowledged_;
    std::deque<BcspPacket> waiting_;
    Counters counters_;
};

}  // namespace Sim
