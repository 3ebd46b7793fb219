// The serial link to the Bluetooth chip: frame encoding, the window of reliable packets, their
// acknowledgement and retransmission, the receiver's checks and the establishment exchange.
#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BcspTestPeer.h"
#include "boot/bluetooth/Bcsp.h"
#include "boot/bluetooth/BcspFrame.h"
#include "platform/testkit/FakeClock.h"

namespace {

using namespace Boot::Bluetooth;
using BcspTestPeer::Frame;
using BcspTestPeer::Peer;
using std::chrono::milliseconds;

std::vector<std::pair<int, std::string>> traced;

void recordTrace(int level, const std::string& line) {
    traced.emplace_back(level, line);
}

bool wasTraced(const std::string& text) {
    return std::any_of(traced.begin(), traced.end(), [&](const auto& entry) {
        return entry.second.find(text) != std::string::npos;
    });
}

std::vector<std::uint8_t> bytesOf(const BcspFrame::EncodedEstablishment& frame) {
    return {frame.begin(), frame.end()};
}

std::vector<std::uint8_t> receivedPayload(std::span<const std::uint8_t> packet) {
    return {packet.begin() + 4, packet.end()};
}

TEST(BcspFrameTest, EncoderGivesTheFourEstablishmentFramesByteForByte) {
    const struct {
        std::vector<std::uint8_t> payload;
        BcspFrame::EncodedEstablishment expected;
    } cases[] = {
        {{0xDA, 0xDC, 0xED, 0xED}, BcspFrame::syncFrame},
        {{0xAC, 0xAF, 0xEF, 0xEE}, BcspFrame::syncResponseFrame},
        {{0xAD, 0xEF, 0xAC, 0xED}, BcspFrame::confFrame},
        {{0xDE, 0xAD, 0xD0, 0xD0}, BcspFrame::confResponseFrame},
    };
    for (const auto& entry : cases) {
        EXPECT_EQ(BcspFrame::encode(0x40, 1, entry.payload, true), bytesOf(entry.expected));
    }
    // The table of the four frames as they travel, written out independently of the constants.
    EXPECT_EQ(bytesOf(BcspFrame::syncFrame),
              (std::vector<std::uint8_t>{0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDA, 0xDC, 0xED, 0xED, 0xA9,
                                         0x7A, 0xC0}));
    EXPECT_EQ(bytesOf(BcspFrame::confResponseFrame),
              (std::vector<std::uint8_t>{0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDE, 0xAD, 0xD0, 0xD0, 0x83,
                                         0x58, 0xC0}));
}

// A link over a socket pair with a fake clock; the chip's end is driven by the test.
class BcspLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        traced.clear();
        bcsp_set_trace_hook(&recordTrace);
        bcsp_open(peer.loaderPort());
    }
    void TearDown() override {
        bcsp_close();
        bcsp_set_trace_hook(nullptr);
        clock.onAdvance(nullptr);
    }

    // Brings the link up with the chip's conf_resp already waiting on the line.
    void establish() {
        peer.write(bytesOf(BcspFrame::confResponseFrame));
        ::testing::internal::CaptureStdout();
        bcsp_init();
        ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(bcsp_link_status(), BcspLinkStatus::established);
        peer.readWire();
    }

    // Receive steps until one returns a packet or the line has nothing more.
    static std::optional<std::vector<std::uint8_t>> receiveNext() {
        for (int step = 0; step < 16; ++step) {
            if (const auto packet = bcsp_receive()) {
                return std::vector<std::uint8_t>(packet->begin(), packet->end());
            }
        }
        return std::nullopt;
    }

    static void queue(std::uint8_t marker) {
        const std::vector<std::uint8_t> payload = {marker, 0x01, 0x02};
        ASSERT_EQ(bcsp_queue(payload.data(), payload.size(), bcspDfuChannel),
                  BcspQueueResult::queued);
    }

    static std::vector<unsigned> sequenceNumbers(const std::vector<Frame>& frames) {
        std::vector<unsigned> numbers;
        numbers.reserve(frames.size());
        for (const Frame& frame : frames) {
            numbers.push_back(frame.seq());
        }
        return numbers;
    }

    Platform::Testkit::FakeClock clock;
    Peer peer;
};

TEST_F(BcspLinkTest, EscapesDelimiterAndEscapeBytesAndRestoresThemExactly) {
    establish();
    const std::vector<std::uint8_t> payload = {0xC0, 0xDB, 0x00, 0xDB, 0xDC, 0xC0, 0xDD};
    ASSERT_EQ(bcsp_queue(payload.data(), payload.size(), bcspDfuChannel), BcspQueueResult::queued);
    bcsp_transmit();
    const std::vector<std::uint8_t> wire = peer.readWire();
    ASSERT_GE(wire.size(), 2U);
    EXPECT_EQ(std::count(wire.begin(), wire.end(), 0xC0), 2);
    const std::vector<Frame> frames = BcspTestPeer::parseWire(wire);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0].payload(), payload);

    peer.sendPacket(0, 1, bcspDfuChannel, payload);
    const auto received = receiveNext();
    ASSERT_TRUE(received);
    EXPECT_EQ(receivedPayload(*received), payload);
}

// Frames from the chip whose header checksum or CRC bytes are themselves 0xC0 or 0xDB travel
// escaped and are still accepted.
TEST_F(BcspLinkTest, EscapesChecksumAndCrcBytesToo) {
    const std::function<bool(const std::vector<std::uint8_t>&)> wanted[] = {
        [](const auto& raw) { return raw[3] == 0xC0; },
        [](const auto& raw) { return raw[3] == 0xDB; },
        [](const auto& raw) { return raw[raw.size() - 2] == 0xC0 || raw.back() == 0xC0; },
        [](const auto& raw) { return raw[raw.size() - 2] == 0xDB || raw.back() == 0xDB; },
    };
    for (const auto& predicate : wanted) {
        // Search the payload lengths and first bytes for a frame with seq 0 that fits.
        std::optional<std::pair<unsigned, std::vector<std::uint8_t>>> found;
        for (unsigned ack = 0; ack < 8 && !found; ++ack) {
            for (std::size_t length = 1; length < 300 && !found; ++length) {
                std::vector<std::uint8_t> payload(length, 0x5A);
                const auto wire = BcspTestPeer::encodeFrame(BcspTestPeer::reliableHeader(0, ack),
                                                            bcspDfuChannel, payload);
                const auto frames = BcspTestPeer::parseWire(wire);
                if (predicate(frames.at(0).bytes)) {
                    found.emplace(ack, payload);
                }
            }
        }
        ASSERT_TRUE(found);
        peer.write(bytesOf(BcspFrame::confResponseFrame));
        ::testing::internal::CaptureStdout();
        bcsp_init();
        ::testing::internal::GetCapturedStdout();
        peer.sendPacket(0, found->first, bcspDfuChannel, found->second);
        const auto received = receiveNext();
        ASSERT_TRUE(received);
        EXPECT_EQ(receivedPayload(*received), found->second);
    }
    // The encoder escapes such bytes in the frames it sends.
    for (std::size_t length = 0; length < 300; ++length) {
        const std::vector<std::uint8_t> payload(length, 0x5A);
        const auto wire = BcspFrame::encode(0xC0, bcspDfuChannel, payload, true);
        EXPECT_EQ(std::count(wire.begin(), wire.end(), 0xC0), 2) << length;
        const auto frames = BcspTestPeer::parseWire(wire);
        ASSERT_EQ(frames.size(), 1U);
        EXPECT_EQ(frames[0].payload(), payload);
        EXPECT_TRUE(BcspFrame::check(frames[0].bytes, 0).passed) << length;
    }
}

TEST_F(BcspLinkTest, KeepsFourPacketsInFlightAndSendsTheFifthWhenAnAcknowledgementFreesTheWindow) {
    establish();
    for (std::uint8_t marker = 0; marker < 5; ++marker) {
        queue(marker);
    }
    bcsp_transmit();
    EXPECT_EQ(sequenceNumbers(peer.readFrames()), (std::vector<unsigned>{0, 1, 2, 3}));
    bcsp_transmit();
    EXPECT_TRUE(peer.readFrames().empty());

    // The chip acknowledges the first packet with a packet of its own.
    peer.sendPacket(0, 1, bcspDfuChannel, std::vector<std::uint8_t>{0x77});
    ASSERT_TRUE(receiveNext());
    bcsp_transmit();
    const std::vector<Frame> frames = peer.readFrames();
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0].seq(), 4U);
    EXPECT_EQ(frames[0].ack(), 1U);
    EXPECT_EQ(frames[0].payload().at(0), 4);
}

TEST_F(BcspLinkTest, ResendsEveryUnacknowledgedPacketInOrderWithItsSequenceNumberAfter250Ms) {
    establish();
    for (std::uint8_t marker = 0; marker < 3; ++marker) {
        queue(marker);
    }
    bcsp_transmit();
    EXPECT_EQ(sequenceNumbers(peer.readFrames()), (std::vector<unsigned>{0, 1, 2}));

    clock.advance(milliseconds(250));
    bcsp_transmit();
    EXPECT_TRUE(peer.readFrames().empty());

    clock.advance(milliseconds(1));
    bcsp_transmit();
    const std::vector<Frame> resent = peer.readFrames();
    EXPECT_EQ(sequenceNumbers(resent), (std::vector<unsigned>{0, 1, 2}));
    for (std::size_t index = 0; index < resent.size(); ++index) {
        EXPECT_EQ(resent[index].payload().at(0), index);
    }
}

TEST_F(BcspLinkTest, OneAcknowledgementCoversEveryEarlierPacket) {
    establish();
    queue(0);
    bcsp_transmit();
    peer.sendPacket(0, 1, bcspDfuChannel, std::vector<std::uint8_t>{0x01});
    ASSERT_TRUE(receiveNext());
    queue(1);
    queue(2);
    bcsp_transmit();
    EXPECT_EQ(sequenceNumbers(peer.readFrames()), (std::vector<unsigned>{0, 1, 2}));

    // Acknowledgement 3 while seq 1 and 2 are in flight: both are done, nothing comes again.
    peer.sendPacket(1, 3, bcspDfuChannel, std::vector<std::uint8_t>{0x02});
    ASSERT_TRUE(receiveNext());
    EXPECT_EQ(bcsp_counters().ok, bcsp_counters().tail);
    clock.advance(milliseconds(1000));
    bcsp_transmit();
    for (const Frame& frame : peer.readFrames()) {
        EXPECT_TRUE(frame.payload().empty()) << "data frame resent";
    }
}

TEST_F(BcspLinkTest, RefusesTheTwentiethPacket) {
    establish();
    for (std::uint8_t marker = 0; marker < 19; ++marker) {
        queue(marker);
    }
    const std::uint8_t payload = 0xEE;
    EXPECT_EQ(bcsp_queue(&payload, 1, bcspDfuChannel), BcspQueueResult::refused);
    EXPECT_TRUE(wasTraced("*** BCSP: > Send buffer overflow"));
    EXPECT_EQ(bcsp_counters().head, 19);
}

TEST_F(BcspLinkTest, SendsAPureAcknowledgementOnlyWhenItChanged) {
    establish();
    peer.sendPacket(0, 0, bcspDfuChannel, std::vector<std::uint8_t>{0x42});
    ASSERT_TRUE(receiveNext());
    bcsp_transmit();
    EXPECT_EQ(peer.readWire(), (std::vector<std::uint8_t>{0xC0, 0x08, 0x00, 0x00, 0xF7, 0xC0}));
    bcsp_transmit();
    EXPECT_TRUE(peer.readWire().empty());
}

// `wire` with the lowest bit of byte `index` flipped.
std::vector<std::uint8_t> withBitFlipped(std::vector<std::uint8_t> wire, std::size_t index) {
    wire.at(index) ^= 0x01U;
    return wire;
}

TEST_F(BcspLinkTest, DropsDamagedFramesWithoutChangingRxSeqOrAcknowledging) {
    const std::vector<std::uint8_t> payload = {0x10, 0x20, 0x30, 0x40};
    const auto good =
        BcspTestPeer::encodeFrame(BcspTestPeer::reliableHeader(0, 0), bcspDfuChannel, payload);
    // Claims four payload bytes while three follow, with a matching checksum and CRC.
    std::vector<std::uint8_t> raw = {0xC0, 0x4C, 0x00};
    raw.push_back(static_cast<std::uint8_t>(~(raw[0] + raw[1] + raw[2])));
    raw.insert(raw.end(), {0x10, 0x20, 0x30});
    const std::uint16_t crc = BcspFrame::crc(raw);
    raw.insert(raw.end(), {static_cast<std::uint8_t>(crc >> 8U), static_cast<std::uint8_t>(crc)});
    std::vector<std::uint8_t> claimingFourBytes = {0xC0};
    for (const std::uint8_t byte : raw) {
        BcspTestPeer::appendEscaped(claimingFourBytes, byte);
    }
    claimingFourBytes.push_back(0xC0);
    const struct {
        const char* name;
        std::vector<std::uint8_t> wire;
    } cases[] = {
        {"header checksum", withBitFlipped(good, 4)},
        {"length", claimingFourBytes},
        {"crc", withBitFlipped(good, good.size() - 2)},
        {"sequence number",
         BcspTestPeer::encodeFrame(BcspTestPeer::reliableHeader(1, 0), bcspDfuChannel, payload)},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.name);
        establish();
        peer.write(entry.wire);
        EXPECT_FALSE(receiveNext());
        EXPECT_EQ(bcsp_counters().rxSeq, 0U);
        EXPECT_TRUE(wasTraced("*** BCSP: * Integrity check failed"));
        bcsp_transmit();
        EXPECT_TRUE(peer.readWire().empty());
        // The same packet undamaged is taken.
        peer.write(good);
        ASSERT_TRUE(receiveNext());
        EXPECT_EQ(bcsp_counters().rxSeq, 1U);
    }
    EXPECT_TRUE(wasTraced("seqn mismatch - got 1 while expecting 0"));
}

TEST_F(BcspLinkTest, StrayBytesCostExactlyTheNextFrame) {
    establish();
    std::vector<std::uint8_t> wire;
    for (const auto& [seq, marker] : {std::pair{0U, 0xA0}, {1U, 0xA1}, {1U, 0xA2}}) {
        const auto frame =
            BcspTestPeer::encodeFrame(BcspTestPeer::reliableHeader(seq, 0), bcspDfuChannel,
                                      std::vector<std::uint8_t>{static_cast<std::uint8_t>(marker)});
        wire.insert(wire.end(), frame.begin(), frame.end());
        if (marker == 0xA0) {
            wire.insert(wire.end(), {0x11, 0x22});
        }
    }
    peer.write(wire);
    const auto first = receiveNext();
    const auto second = receiveNext();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(receivedPayload(*first), std::vector<std::uint8_t>{0xA0});
    EXPECT_EQ(receivedPayload(*second), std::vector<std::uint8_t>{0xA2});
    EXPECT_EQ(bcsp_counters().rxSeq, 2U);
    EXPECT_TRUE(wasTraced("*** BCSP: * Out-of-sync"));
}

TEST_F(BcspLinkTest, DropsAFrameLongerThanTheFrameBufferAndTakesTheNextOne) {
    establish();
    // Header, payload and CRC of 3444 bytes fit; one byte more does not.
    for (const auto& [payloadLength, taken] : {std::pair{3438U, true}, {3439U, false}}) {
        SCOPED_TRACE(payloadLength);
        const unsigned seq = bcsp_counters().rxSeq;
        const std::vector<std::uint8_t> payload(payloadLength, 0x33);
        peer.sendPacket(seq, 0, bcspDfuChannel, payload);
        peer.sendPacket(taken ? seq + 1 : seq, 0, bcspDfuChannel, std::vector<std::uint8_t>{0x44});
        const auto first = receiveNext();
        ASSERT_TRUE(first);
        if (taken) {
            EXPECT_EQ(receivedPayload(*first), payload);
            const auto second = receiveNext();
            ASSERT_TRUE(second);
            EXPECT_EQ(receivedPayload(*second), std::vector<std::uint8_t>{0x44});
        } else {
            EXPECT_EQ(receivedPayload(*first), std::vector<std::uint8_t>{0x44});
        }
    }
}

TEST_F(BcspLinkTest, ASyncAfterAcceptedPacketsMeansTheChipRestartedAndFailsTheLink) {
    establish();
    // A sync before any packet is answered and leaves the link usable.
    peer.write(bytesOf(BcspFrame::syncFrame));
    EXPECT_FALSE(receiveNext());
    EXPECT_EQ(bcsp_link_status(), BcspLinkStatus::established);
    auto wire = peer.readWire();
    auto expected = bytesOf(BcspFrame::syncFrame);
    const auto response = bytesOf(BcspFrame::syncResponseFrame);
    expected.insert(expected.end(), response.begin(), response.end());
    EXPECT_EQ(wire, expected);

    peer.sendPacket(0, 0, bcspDfuChannel, std::vector<std::uint8_t>{0x01});
    ASSERT_TRUE(receiveNext());
    peer.write(bytesOf(BcspFrame::syncFrame));
    EXPECT_FALSE(receiveNext());
    EXPECT_EQ(bcsp_link_status(), BcspLinkStatus::failed);
    EXPECT_TRUE(wasTraced("*** BCSP failure. Exit..."));
    EXPECT_EQ(peer.readWire(), expected);
}

TEST_F(BcspLinkTest, AcknowledgesPacketsOfOtherChannelsButNotEstablishmentPackets) {
    establish();
    peer.sendPacket(0, 0, 5, std::vector<std::uint8_t>{1, 2, 3});
    EXPECT_FALSE(receiveNext());
    EXPECT_EQ(bcsp_counters().rxSeq, 1U);
    EXPECT_TRUE(wasTraced("*** BCSP: not supported protocol (5) packet, length 3, ignoring"));
    peer.write(BcspTestPeer::encodeFrame(0x40, 1, std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_FALSE(receiveNext());
    EXPECT_EQ(bcsp_counters().rxSeq, 1U);
}

TEST_F(BcspLinkTest, EstablishesTheLinkWithAChipThatAnswersEachStep) {
    // The chip answers sync with sync_resp and conf with conf_resp, as it reads them.
    clock.onAdvance([this](auto) {
        for (const Frame& frame : peer.readFrames()) {
            if (frame.channel() == 1 && frame.payload().at(0) == 0xDA) {
                peer.write(bytesOf(BcspFrame::syncResponseFrame));
            } else if (frame.channel() == 1 && frame.payload().at(0) == 0xAD) {
                peer.write(bytesOf(BcspFrame::confResponseFrame));
            }
        }
    });
    ::testing::internal::CaptureStdout();
    bcsp_init();
    const std::string output = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(bcsp_link_status(), BcspLinkStatus::established);
    EXPECT_EQ(bcsp_counters().linkState, BcspLinkState::active);
    // The first sync goes out on the eighth pass; the chip's conf_resp is read in the ninth.
    EXPECT_EQ(output, "BCSP initializing.." + std::string(9, '.') + "\n");
}

TEST_F(BcspLinkTest, SetUpWithNoChipGivesUpAfterAThousandPasses) {
    ::testing::internal::CaptureStdout();
    bcsp_init();
    const std::string output = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(bcsp_link_status(), BcspLinkStatus::notEstablished);
    EXPECT_EQ(output, "BCSP initializing.." + std::string(1000, '.') + "\n");
    EXPECT_EQ(clock.slept(), milliseconds(20000));
    const std::vector<Frame> frames = peer.readFrames();
    EXPECT_EQ(frames.size(), 1000U / 8);
    for (const Frame& frame : frames) {
        EXPECT_EQ(frame.bytes, (std::vector<std::uint8_t>(BcspFrame::syncFrame.begin() + 1,
                                                          BcspFrame::syncFrame.end() - 1)));
    }
}

TEST_F(BcspLinkTest, SendReceiveGivesUpAfterItsTimeout) {
    establish();
    const std::uint8_t payload = 0x01;
    const auto start = clock.now();
    EXPECT_FALSE(bcsp_send_receive(&payload, 1, bcspDfuChannel, 300));
    EXPECT_GE(clock.now() - start, milliseconds(300));
    EXPECT_LT(clock.now() - start, milliseconds(320));
}

TEST_F(BcspLinkTest, RefusesPacketsOnceClosed) {
    bcsp_close();
    const std::uint8_t payload = 0x01;
    EXPECT_EQ(bcsp_queue(&payload, 1, bcspDfuChannel), BcspQueueResult::refused);
    ::testing::internal::CaptureStdout();
    bcsp_init();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(bcsp_link_status(), BcspLinkStatus::failed);
}

}  // namespace
