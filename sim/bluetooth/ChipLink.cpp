#include "sim/bluetooth/ChipLink.h"

#include <algorithm>
#include <utility>

namespace Sim {
namespace {

bool payloadIs(const BcspPacket& packet, std::span<const std::uint8_t> expected) {
    return std::ranges::equal(packet.payload, expected);
}

std::uint8_t nextSequence(std::uint8_t sequence) {
    return static_cast<std::uint8_t>((sequence + 1U) & 7U);
}

}  // namespace

ChipLink::ChipLink(Settings settings, std::function<void(const BcspPacket&)> send)
    : settings_(settings), send_(std::move(send)) {}

void ChipLink::restart(TimePoint now) {
    state_ = State::Shy;
    nextEstablishMessage_ = now;
    receiveSequence_ = 0;
    transmitSequence_ = 0;
    acknowledgementDue_ = false;
    unacknowledged_.clear();
    waiting_.clear();
}

std::vector<std::vector<std::uint8_t>> ChipLink::receive(const BcspPacket& packet, TimePoint now) {
    std::vector<std::vector<std::uint8_t>> delivered;
    if (packet.channel == linkChannel && packet.payload.size() == 4) {
        if (payloadIs(packet, syncPayload)) {
            // A sync on a running link means the peer has started over: so does the link.
            if (state_ == State::Garrulous) {
                restart(now);
            }
            sendLinkMessage(syncResponsePayload);
        } else if (payloadIs(packet, syncResponsePayload)) {
            if (state_ == State::Shy) {
                state_ = State::Curious;
                nextEstablishMessage_ = now;
            }
        } else if (payloadIs(packet, confPayload)) {
            if (state_ != State::Shy) {
                sendLinkMessage(confResponsePayload);
            }
        } else if (payloadIs(packet, confResponsePayload)) {
            if (state_ == State::Curious) {
                state_ = State::Garrulous;
            }
        }
        return delivered;
    }
    if (state_ != State::Garrulous) {
        return delivered;
    }
    takeAcknowledgement(packet.acknowledgement);
    if (!packet.reliable) {
        return delivered;
    }
    acknowledgementDue_ = true;
    if (packet.sequence != receiveSequence_) {
        ++counters_.duplicatesReceived;
        return delivered;
    }
    receiveSequence_ = nextSequence(receiveSequence_);
    if (packet.channel == dfuChannel) {
        delivered.push_back(packet.payload);
    }
    return delivered;
}

void ChipLink::queue(std::uint8_t channel, std::vector<std::uint8_t> payload) {
    BcspPacket packet;
    packet.reliable = true;
    packet.channel = channel;
    packet.sequence = transmitSequence_;
    packet.payload = std::move(payload);
    transmitSequence_ = nextSequence(transmitSequence_);
    waiting_.push_back(std::move(packet));
}

void ChipLink::service(TimePoint now) {
    if (state_ != State::Garrulous) {
        if (now >= nextEstablishMessage_) {
            sendLinkMessage(state_ == State::Shy ? std::span<const std::uint8_t>(syncPayload)
                                                 : std::span<const std::uint8_t>(confPayload));
            nextEstablishMessage_ = now + settings_.establishInterval;
        }
        return;
    }
    if (!unacknowledged_.empty() &&
        now >= unacknowledged_.front().sentAt + settings_.retransmitAfter) {
        for (Outgoing& outgoing : unacknowledged_) {
            ++counters_.retransmissions;
            sendReliable(outgoing, now);
        }
    }
    while (!waiting_.empty() && unacknowledged_.size() < settings_.window) {
        unacknowledged_.push_back({std::move(waiting_.front()), now});
        waiting_.pop_front();
        sendReliable(unacknowledged_.back(), now);
    }
    if (acknowledgementDue_) {
        BcspPacket acknowledgement;
        acknowledgement.hasCrc = false;
        acknowledgement.acknowledgement = receiveSequence_;
        send_(acknowledgement);
        acknowledgementDue_ = false;
    }
}

ChipLink::TimePoint ChipLink::nextDeadline() const {
    if (state_ != State::Garrulous) {
        return nextEstablishMessage_;
    }
    if (acknowledgementDue_ || (!waiting_.empty() && unacknowledged_.size() < settings_.window)) {
        return TimePoint::min();
    }
    if (!unacknowledged_.empty()) {
        return unacknowledged_.front().sentAt + settings_.retransmitAfter;
    }
    return TimePoint::max();
}

void ChipLink::sendLinkMessage(std::span<const std::uint8_t> payload) {
    BcspPacket packet;
    packet.channel = linkChannel;
    packet.payload.assign(payload.begin(), payload.end());
    send_(packet);
}

void ChipLink::sendReliable(Outgoing& outgoing, TimePoint now) {
    outgoing.packet.acknowledgement = receiveSequence_;
    outgoing.sentAt = now;
    send_(outgoing.packet);
    acknowledgementDue_ = false;
}

void ChipLink::takeAcknowledgement(std::uint8_t acknowledgement) {
    if (unacknowledged_.empty()) {
        return;
    }
    // The acknowledgement names the next sequence number the peer expects: every packet
    // before it has arrived. A number outside what is in flight acknowledges nothing.
    const auto released =
        static_cast<std::size_t>((acknowledgement - unacknowledged_.front().packet.sequence) & 7U);
    if (released <= unacknowledged_.size()) {
        unacknowledged_.erase(unacknowledged_.begin(),
                              unacknowledged_.begin() + static_cast<std::ptrdiff_t>(released));
    }
}

}  // namespace Sim
