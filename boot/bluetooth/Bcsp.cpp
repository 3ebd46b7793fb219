#include "boot/bluetooth/Bcsp.h"

#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "CoreSystem/Console.h"
#include "boot/bluetooth/BcspFrame.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"

namespace Boot::Bluetooth {
namespace {

constexpr int slotCount = 20;
constexpr int windowSize = 4;
constexpr std::uint32_t retransmitMilliseconds = 250;
constexpr std::size_t inputBufferSize = 3446;
constexpr int setupPasses = 1000;
constexpr unsigned syncEveryTransmitSteps = 8;
constexpr long long pollMilliseconds = 10;
constexpr unsigned sequenceModulus = 8;

struct SendSlot {
    std::uint8_t seq = 0;
    std::uint32_t timestamp = 0;
    std::uint8_t channel = 0;
    std::array<std::uint8_t, bcspSlotPayloadSize> payload{};
    std::uint32_t length = 0;
};

enum class DecoderPosition { lost, betweenFrames, insideFrame };

struct Link {
    Platform::SerialPort* port = nullptr;
    BcspLinkState linkState = BcspLinkState::unsynchronised;
    BcspLinkStatus linkStatus = BcspLinkStatus::notEstablished;
    unsigned syncCounter = 0;
    unsigned lastAckSent = 0;
    unsigned rxSeq = 0;
    unsigned txSeq = 0;
    int tail = 0;
    int ok = 0;
    int head = 0;
    std::array<std::unique_ptr<SendSlot>, slotCount> slots;
    bool slotsMissing = false;

    std::array<std::uint8_t, inputBufferSize> input{};
    std::size_t inputFill = 0;
    std::size_t inputRead = 0;

    std::array<std::uint8_t, BcspFrame::maximumFrameSize> frame{};
    std::size_t frameSize = 0;
    DecoderPosition position = DecoderPosition::betweenFrames;
    bool escapePending = false;

    std::array<std::uint8_t, BcspFrame::encodedCapacity(bcspSlotPayloadSize)> output{};
};

Link link;
TraceHook traceHook = nullptr;

void trace(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void trace(int level, const char* format, ...) {
    if (traceHook == nullptr) {
        return;
    }
    std::array<char, 256> line{};
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line.data(), line.size(), format, arguments);
    va_end(arguments);
    traceHook(level, std::string(line.data()));
}

// Milliseconds on the monotonic clock, wrapping at 32 bits; compared as signed differences.
std::uint32_t nowMilliseconds() {
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(Platform::monotonicNow()).count();
    return static_cast<std::uint32_t>(milliseconds);
}

bool isBefore(std::uint32_t first, std::uint32_t second) {
    return static_cast<std::int32_t>(first - second) < 0;
}

int nextSlot(int index) {
    return (index + 1) % slotCount;
}

int inFlight() {
    return (link.tail - link.ok + slotCount) % slotCount;
}

SendSlot& slotAt(int index) {
    return *link.slots.at(static_cast<std::size_t>(index));
}

long writeFrame(const std::uint8_t* bytes, std::size_t size) {
    return link.port != nullptr ? link.port->write(bytes, size) : -1;
}

void writeFrame(const BcspFrame::EncodedEstablishment& frame) {
    writeFrame(frame.data(), frame.size());
}

// The ring indices, marked '>' when sending, '*' after a rewind and '-' after an acknowledgement.
void traceRing(char marker) {
    trace(2, "*** BCSP: %c Head=%d, tail=%d, ok=%d", marker, link.head, link.tail, link.ok);
}

void sendSlot(int index) {
    const SendSlot& slot = slotAt(index);
    const auto headerByte0 = static_cast<std::uint8_t>(0xC0U | link.rxSeq << 3U | slot.seq);
    const std::size_t size =
        BcspFrame::encode(headerByte0, slot.channel, std::span(slot.payload.data(), slot.length),
                          true, link.output.data());
    const long written = writeFrame(link.output.data(), size);
    trace(2, "*** BCSP: > Sending slot %d, %zu bytes, seq %u, ack %u, %ld/%zu", index, size,
          static_cast<unsigned>(slot.seq), link.rxSeq, written, size);
}

void sendPureAcknowledgement() {
    const auto headerByte0 = static_cast<std::uint8_t>(link.rxSeq << 3U);
    const std::size_t size = BcspFrame::encode(headerByte0, 0, {}, false, link.output.data());
    const long written = writeFrame(link.output.data(), size);
    trace(2, "*** BCSP: > Sending ack %u, sent %ld/%zu", link.rxSeq, written, size);
}

void transmitActive() {
    const std::uint32_t now = nowMilliseconds();
    if (link.ok != link.head && isBefore(slotAt(link.ok).timestamp + retransmitMilliseconds, now)) {
        trace(2, "*** BCSP: * Timeout on slot %d, head=%d, tail=%d, ok=%d", link.ok, link.head,
              link.tail, link.ok);
        link.tail = link.ok;
        for (int index = link.ok; index != link.head; index = nextSlot(index)) {
            slotAt(index).timestamp = now;
        }
        traceRing('*');
    }
    bool sentData = false;
    while (link.tail != link.head && inFlight() < windowSize) {
        sendSlot(link.tail);
        link.tail = nextSlot(link.tail);
        sentData = true;
        traceRing('>');
    }
    if (!sentData && link.rxSeq != link.lastAckSent) {
        sendPureAcknowledgement();
    }
    link.lastAckSent = link.rxSeq;
}

// Every sent packet up to the one whose successor number is `ack` is acknowledged.
void acknowledge(unsigned ack) {
    if (link.ok == link.head || link.ok == link.tail) {
        return;
    }
    int newOk = link.ok;
    for (int index = link.ok; index != link.tail; index = nextSlot(index)) {
        if ((slotAt(index).seq + 1U) % sequenceModulus == ack) {
            newOk = nextSlot(index);
        }
    }
    link.ok = newOk;
    traceRing('-');
}

void handleEstablishment(std::uint8_t message) {
    if (message == BcspFrame::syncFrame[5]) {
        trace(2, "*** BCSP: - Got sync");
        if (link.rxSeq != 0) {
            link.linkStatus = BcspLinkStatus::failed;
            trace(1, "*** BCSP failure. Exit...");
        }
        link.linkState = BcspLinkState::synchronised;
        writeFrame(BcspFrame::syncFrame);
        writeFrame(BcspFrame::syncResponseFrame);
    } else if (message == BcspFrame::syncResponseFrame[5]) {
        trace(2, "*** BCSP: - Got sync_resp");
        link.linkState = BcspLinkState::synchronised;
        writeFrame(BcspFrame::confFrame);
    } else if (message == BcspFrame::confFrame[5]) {
        trace(2, "*** BCSP: - Got conf");
        writeFrame(BcspFrame::confResponseFrame);
    } else if (message == BcspFrame::confResponseFrame[5]) {
        trace(2, "*** BCSP: - Got conf_resp");
        link.linkState = BcspLinkState::active;
        link.linkStatus = BcspLinkStatus::established;
    }
}

// Checks and processes the frame just completed; the channel-12 packet when it is one.
std::optional<std::span<const std::uint8_t>> processFrame() {
    const std::span<const std::uint8_t> frame(link.frame.data(), link.frameSize);
    const BcspFrame::Check check = BcspFrame::check(frame, link.rxSeq);
    const BcspFrame::Header& header = check.header;
    trace(2, "*** BCSP: - %02x/%02x, %zu/%zu, %04x/%04x, ack %u, seq %u/%u, proto %u",
          check.computedChecksum, check.receivedChecksum, header.payloadLength,
          check.receivedPayloadLength, check.receivedCrc, check.computedCrc, header.ack, header.seq,
          link.rxSeq, header.channel);
    if (!check.passed) {
        trace(2, "*** BCSP: * Integrity check failed");
        if (check.sequenceMismatch) {
            trace(2, "seqn mismatch - got %u while expecting %u", header.seq, link.rxSeq);
        }
        return std::nullopt;
    }
    acknowledge(header.ack);

    if (header.channel == bcspDfuChannel) {
        link.rxSeq = (link.rxSeq + 1) % sequenceModulus;
        trace(2, "*** BCSP: - Got DFU block len %zu", header.payloadLength);
        return frame.first(BcspFrame::headerSize + header.payloadLength);
    }
    if (header.channel == BcspFrame::establishmentChannel && header.payloadLength == 4) {
        handleEstablishment(frame[BcspFrame::headerSize]);
        return std::nullopt;
    }
    trace(2, "*** BCSP: not supported protocol (%u) packet, length %zu, ignoring", header.channel,
          header.payloadLength);
    // Acknowledge what the chip sent reliably; link-establishment packets carry no sequence.
    if (header.payloadLength != 0 && header.channel != 0 &&
        header.channel != BcspFrame::establishmentChannel) {
        link.rxSeq = (link.rxSeq + 1) % sequenceModulus;
    }
    return std::nullopt;
}

void loseSync() {
    if (link.position != DecoderPosition::lost) {
        trace(2, "*** BCSP: * Out-of-sync");
    }
    link.position = DecoderPosition::lost;
}

// Stores one unescaped frame byte, or loses sync when the frame would grow too long.
void storeFrameByte(std::uint8_t byte) {
    if (link.frameSize == link.frame.size()) {
        loseSync();
        return;
    }
    link.frame.at(link.frameSize++) = byte;
}

void decodeInsideFrame(std::uint8_t byte) {
    if (link.escapePending) {
        link.escapePending = false;
        if (byte == BcspFrame::escapedDelimiter) {
            storeFrameByte(BcspFrame::delimiter);
        } else if (byte == BcspFrame::escapedEscape) {
            storeFrameByte(BcspFrame::escape);
        }
    } else if (byte == BcspFrame::escape) {
        link.escapePending = true;
    } else {
        storeFrameByte(byte);
    }
}

// Reads what the line holds without waiting; false when nothing is pending.
bool fillInput() {
    if (link.port == nullptr) {
        return false;
    }
    link.inputFill = link.port->read(link.input.data(), link.input.size(), 0);
    link.inputRead = 0;
    return link.inputFill > 0;
}

// Sequence and acknowledgement numbers, the ring and the link state; the decoder and the
// sync counter are left as they are.
void resetCounters() {
    link.lastAckSent = 0;
    link.rxSeq = 0;
    link.txSeq = 0;
    link.tail = 0;
    link.ok = 0;
    link.head = 0;
    link.linkState = BcspLinkState::unsynchronised;
}

}  // namespace

void bcsp_set_trace_hook(TraceHook hook) {
    traceHook = hook;
}

// Every field starts from its initial value, whatever an earlier use left behind.
void bcsp_open(Platform::SerialPort& port) {
    resetCounters();
    link.position = DecoderPosition::betweenFrames;
    link.escapePending = false;
    link.frameSize = 0;
    link.inputFill = 0;
    link.inputRead = 0;
    link.syncCounter = 0;
    link.linkStatus = BcspLinkStatus::notEstablished;
    link.slotsMissing = false;
    for (auto& slot : link.slots) {
        slot.reset(new (std::nothrow) SendSlot);
        if (!slot) {
            trace(1, "*** BCSP: * Out of memory!");
            link.linkStatus = BcspLinkStatus::failed;
            link.slotsMissing = true;
        }
    }
    link.port = &port;
}

void bcsp_close() {
    for (auto& slot : link.slots) {
        slot.reset();
    }
    link.slotsMissing = true;
    link.port = nullptr;
}

void bcsp_init() {
    resetCounters();
    // Without its send slots the link must stay failed, so that nobody goes on to use it.
    link.linkStatus = link.slotsMissing ? BcspLinkStatus::failed : BcspLinkStatus::notEstablished;

    CoreSystem::Console::print("BCSP initializing..");
    for (int pass = 0; pass < setupPasses && link.linkStatus == BcspLinkStatus::notEstablished;
         ++pass) {
        CoreSystem::Console::print(".");
        bcsp_transmit();
        Platform::sleepMilliseconds(pollMilliseconds);
        bcsp_receive();
        Platform::sleepMilliseconds(pollMilliseconds);
    }
    CoreSystem::Console::print("\n");
}

BcspLinkStatus bcsp_link_status() {
    return link.linkStatus;
}

BcspQueueResult bcsp_queue(const std::uint8_t* payload, std::size_t length, unsigned channel) {
    if (nextSlot(link.head) == link.ok) {
        trace(1, "*** BCSP: > Send buffer overflow");
        return BcspQueueResult::refused;
    }
    if (link.slotsMissing || length > bcspSlotPayloadSize) {
        return BcspQueueResult::refused;
    }
    SendSlot& slot = slotAt(link.head);
    slot.seq = static_cast<std::uint8_t>(link.txSeq);
    slot.timestamp = nowMilliseconds();
    slot.channel = static_cast<std::uint8_t>(channel);
    if (length > 0) {
        std::memcpy(slot.payload.data(), payload, length);
    }
    slot.length = static_cast<std::uint32_t>(length);
    trace(2, "*** BCSP: > Queue seq %u to slot %d, proto %u, len %zu", link.txSeq, link.head,
          channel, length);
    link.txSeq = (link.txSeq + 1) % sequenceModulus;
    link.head = nextSlot(link.head);
    traceRing('>');
    return BcspQueueResult::queued;
}

void bcsp_transmit() {
    if (link.linkState == BcspLinkState::active) {
        if (!link.slotsMissing) {
            transmitActive();
        }
    } else if (link.linkState == BcspLinkState::unsynchronised) {
        ++link.syncCounter;
        if (link.syncCounter % syncEveryTransmitSteps == 0) {
            trace(2, "*** BCSP: > Sending sync");
            writeFrame(BcspFrame::syncFrame);
        }
    }
}

std::optional<std::span<const std::uint8_t>> bcsp_receive() {
    if (link.inputRead >= link.inputFill && !fillInput()) {
        return std::nullopt;
    }
    while (link.inputRead < link.inputFill) {
        const std::uint8_t byte = link.input.at(link.inputRead++);
        if (byte == BcspFrame::delimiter) {
            if (link.position == DecoderPosition::lost) {
                link.position = DecoderPosition::betweenFrames;
            } else if (link.position == DecoderPosition::betweenFrames) {
                link.position = DecoderPosition::insideFrame;
                link.frameSize = 0;
                link.escapePending = false;
            } else {
                link.position = DecoderPosition::betweenFrames;
                link.escapePending = false;
                if (auto packet = processFrame()) {
                    return packet;
                }
            }
        } else if (link.position != DecoderPosition::insideFrame) {
            loseSync();
        } else {
            decodeInsideFrame(byte);
        }
    }
    return std::nullopt;
}

std::optional<std::span<const std::uint8_t>> bcsp_send_receive(const std::uint8_t* payload,
                                                               std::size_t length, unsigned channel,
                                                               unsigned timeoutMilliseconds) {
    const std::uint32_t start = nowMilliseconds();
    // A packet the ring refused gets no reply: the wait below runs into the timeout.
    static_cast<void>(bcsp_queue(payload, length, channel));
    std::optional<std::span<const std::uint8_t>> reply;
    while (!reply && isBefore(nowMilliseconds(), start + timeoutMilliseconds)) {
        bcsp_transmit();
        if (auto packet = bcsp_receive(); packet && ((*packet)[1] & 0xFU) == channel) {
            reply = packet;
        }
        Platform::sleepMilliseconds(pollMilliseconds);
    }
    return reply;
}

BcspCounters bcsp_counters() {
    return {link.linkState, link.rxSeq, link.txSeq, link.lastAckSent,
            link.tail,      link.ok,    link.head};
}

}  // namespace Boot::Bluetooth
