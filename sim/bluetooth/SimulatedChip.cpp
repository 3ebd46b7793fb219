#include "sim/bluetooth/SimulatedChip.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

namespace Sim {
namespace {

using Clock = std::chrono::steady_clock;

// 115200 baud with a start bit, 8 data bits, even parity and a stop bit: 10472 bytes a second.
constexpr auto byteTime = std::chrono::nanoseconds(1'000'000'000 / 10472);
// Bytes written in one go on a paced line.
constexpr std::size_t pacedChunk = 16;
// A line that nobody reads holds no more than this; later frames are lost.
constexpr std::size_t transmitQueueLimit = std::size_t{64} * 1024;
constexpr std::string_view muxExitFrame{"\xBF\xFF\x00\x11SET CONTROL MUX 0\x00", 22};
constexpr std::uint8_t strayByteSequence[] = {0x55, 0x0D, 0xAA};

void makeRaw(int descriptor) {
    termios settings{};
    if (tcgetattr(descriptor, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(descriptor, TCSANOW, &settings);
    }
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("simulated chip: " + what + ": " + std::to_string(errno));
}

timespec timespecFor(Clock::duration duration) {
    const auto nanoseconds = std::max<long long>(
        0, std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count());
    return {static_cast<time_t>(nanoseconds / 1'000'000'000),
            static_cast<long>(nanoseconds % 1'000'000'000)};
}

}  // namespace

SimulatedChip::SimulatedChip(ChipOptions options)
    : options_(options),
      link_(options_.link, [this](const BcspPacket& packet) { sendPacket(packet); }),
      device_(options_.device),
      generator_(options_.seed) {
    masterDescriptor_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (masterDescriptor_ < 0 || grantpt(masterDescriptor_) != 0 ||
        unlockpt(masterDescriptor_) != 0) {
        fail("no pseudo-terminal");
    }
    std::array<char, 128> name{};
    if (ptsname_r(masterDescriptor_, name.data(), name.size()) != 0) {
        fail("no slave name");
    }
    slavePath_ = name.data();
    // The module's port carries binary data: no line editing, echo or translation by default.
    slaveDescriptor_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveDescriptor_ < 0) {
        fail("cannot open " + slavePath_);
    }
    makeRaw(slaveDescriptor_);
    makeRaw(masterDescriptor_);
    fcntl(masterDescriptor_, F_SETFL, fcntl(masterDescriptor_, F_GETFL) | O_NONBLOCK);
    std::array<int, 2> wake{};
    if (pipe2(wake.data(), O_NONBLOCK | O_CLOEXEC) != 0) {
        fail("no pipe");
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    working_.runningBuild = device_.runningBuild();
    published_ = working_;
    thread_ = std::thread([this] { run(); });
}

SimulatedChip::~SimulatedChip() {
    {
        const std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    const std::uint8_t wake = 1;
    [[maybe_unused]] const ssize_t written = write(wakeWrite_, &wake, 1);
    thread_.join();
    close(wakeRead_);
    close(wakeWrite_);
    close(slaveDescriptor_);
    close(masterDescriptor_);
}

ChipReport SimulatedChip::report() const {
    const std::lock_guard lock(mutex_);
    return published_;
}

bool SimulatedChip::waitUntil(const std::function<bool(const ChipReport&)>& condition,
                              std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return condition(published_); });
}

void SimulatedChip::run() {
    for (;;) {
        {
            const std::lock_guard lock(mutex_);
            if (stopRequested_) {
                return;
            }
        }
        TimePoint now = Clock::now();
        while (!arriving_.empty() && arriving_.front().first <= now) {
            const std::vector<std::uint8_t> bytes = std::move(arriving_.front().second);
            arriving_.pop_front();
            receiveBytes(bytes, now);
        }
        if (working_.mode == ChipReport::Mode::Bcsp && options_.answersBcsp) {
            link_.service(now);
        }
        writeDue(now);
        publish();

        std::array<pollfd, 2> watched{{{masterDescriptor_, POLLIN, 0}, {wakeRead_, POLLIN, 0}}};
        if (transmitBlocked_) {
            watched[0].events |= POLLOUT;
        }
        const std::optional<TimePoint> deadline = nextDeadline();
        timespec timeout{};
        if (deadline) {
            timeout = timespecFor(*deadline - Clock::now());
        }
        if (ppoll(watched.data(), watched.size(), deadline ? &timeout : nullptr, nullptr) < 0 &&
            errno != EINTR) {
            return;
        }
        now = Clock::now();
        if ((watched[0].revents & POLLOUT) != 0) {
            transmitBlocked_ = false;
        }
        if ((watched[0].revents & POLLIN) != 0) {
            readLine(now);
        }
    }
}

void SimulatedChip::readLine(TimePoint now) {
    std::array<std::uint8_t, 4096> buffer{};
    const ssize_t count = read(masterDescriptor_, buffer.data(), buffer.size());
    if (count <= 0) {
        return;
    }
    const auto size = static_cast<std::size_t>(count);
    working_.bytesReceived += size;
    std::vector<std::uint8_t> bytes(buffer.begin(), buffer.begin() + count);
    if (!options_.pace) {
        receiveBytes(bytes, now);
        return;
    }
    // The bytes were on the line one after another: they arrive when the last of them would.
    receiveLineFree_ = std::max(receiveLineFree_, now) + byteTime * static_cast<long>(size);
    arriving_.emplace_back(receiveLineFree_, std::move(bytes));
}

void SimulatedChip::receiveBytes(std::span<const std::uint8_t> bytes, TimePoint now) {
    for (const std::uint8_t byte : bytes) {
        if (working_.mode == ChipReport::Mode::Text) {
            receiveTextByte(byte, now);
        } else if (options_.answersBcsp) {
            if (auto content = decoder_.feed(byte)) {
                receiveFrame(std::move(*content), now);
            }
        }
    }
}

void SimulatedChip::receiveTextByte(std::uint8_t byte, TimePoint now) {
    recentBytes_.push_back(byte);
    if (recentBytes_.size() > muxExitFrame.size()) {
        recentBytes_.erase(recentBytes_.begin());
    }
    if (std::ranges::equal(recentBytes_, muxExitFrame, [](std::uint8_t left, char right) {
            return left == static_cast<std::uint8_t>(right);
        })) {
        ++working_.muxExitFrames;
        recentBytes_.clear();
        textLine_.clear();
        return;
    }
    if (byte != '\r' && byte != '\n' && byte != 0) {
        if (textLine_.size() < 256) {
            textLine_.push_back(static_cast<char>(byte));
        }
        return;
    }
    const std::string line = std::exchange(textLine_, {});
    if (line == "RESET") {
        ++working_.resetCommands;
        device_.restart();
        std::string banner = "\r\nRadio module ready";
        banner.push_back('\0');
        if (options_.bannerNamesBuild) {
            banner += " firmware build " + std::to_string(device_.runningBuild());
        }
        banner += "\r\nOK\r\n";
        sendBytes({reinterpret_cast<const std::uint8_t*>(banner.data()), banner.size()});
    } else if (line == "BOOT 1") {
        ++working_.bootCommands;
        working_.mode = ChipReport::Mode::Bcsp;
        decoder_ = SlipDecoder{};
        link_.restart(now);
    }
}

SimulatedChip::FrameFate SimulatedChip::strike(const FrameFaults& faults, std::uint64_t& counter,
                                               std::vector<std::uint8_t>& content) {
    FrameFate fate;
    if (!link_.established()) {
        return fate;
    }
    const std::uint64_t number = ++counter;
    if (faults.drop.strikes(number, generator_)) {
        ++working_.faultsApplied;
        fate.lost = true;
        return fate;
    }
    if (faults.corrupt.strikes(number, generator_)) {
        ++working_.faultsApplied;
        content[content.size() / 2] ^= 0x01U;
    }
    if (faults.duplicate.strikes(number, generator_)) {
        ++working_.faultsApplied;
        fate.twice = true;
    }
    return fate;
}

void SimulatedChip::receiveFrame(std::vector<std::uint8_t> content, TimePoint now) {
    const FrameFate fate = strike(options_.fromLoader, framesFromLoader_, content);
    if (fate.lost) {
        return;
    }
    const std::optional<BcspPacket> packet = parseFrame(content);
    if (!packet) {
        ++working_.framesRejected;
        return;
    }
    for (int copy = 0; copy < (fate.twice ? 2 : 1); ++copy) {
        ++working_.framesReceived;
        for (const std::vector<std::uint8_t>& request : link_.receive(*packet, now)) {
            handleRequest(request, now);
        }
    }
}

void SimulatedChip::handleRequest(const std::vector<std::uint8_t>& request, TimePoint now) {
    ++working_.dfuRequests;
    if (working_.dfuRequests == options_.restartAtRequest) {
        device_.restart();
        restartLink(now);
        return;
    }
    DfuDevice::Outcome outcome = device_.handle(request);
    link_.queue(dfuChannel, std::move(outcome.reply));
    if (outcome.resetAfterReply) {
        // The reply leaves before the chip restarts; nothing is retransmitted after that.
        link_.service(now);
        device_.restart();
        restartLink(now);
    }
}

void SimulatedChip::restartLink(TimePoint now) {
    ++working_.restarts;
    decoder_ = SlipDecoder{};
    link_.restart(now);
}

void SimulatedChip::sendPacket(const BcspPacket& packet) {
    std::vector<std::uint8_t> content = frameContent(packet);
    const OutgoingFaults& faults = options_.toLoader;
    const FrameFate fate = strike(faults, framesToLoader_, content);
    if (fate.lost) {
        return;
    }
    const bool faulty = link_.established();
    const std::uint64_t number = framesToLoader_;
    if (faulty && faults.strayBytes.strikes(number, generator_)) {
        ++working_.faultsApplied;
        sendBytes(strayByteSequence);
    }
    std::vector<std::uint8_t> frame = slipEncode(content);
    if (fate.twice) {
        sendBytes(frame);
    }
    if (faulty && faults.delay.strikes(number, generator_)) {
        ++working_.faultsApplied;
        delayed_.emplace_back(Clock::now() + std::chrono::milliseconds(faults.delayMilliseconds),
                              std::move(frame));
        return;
    }
    ++working_.framesSent;
    sendBytes(frame);
}

void SimulatedChip::sendBytes(std::span<const std::uint8_t> bytes) {
    if (transmitQueue_.size() + bytes.size() <= transmitQueueLimit) {
        transmitQueue_.insert(transmitQueue_.end(), bytes.begin(), bytes.end());
    }
}

void SimulatedChip::writeDue(TimePoint now) {
    while (!delayed_.empty() && delayed_.front().first <= now) {
        ++working_.framesSent;
        sendBytes(delayed_.front().second);
        delayed_.pop_front();
    }
    std::array<std::uint8_t, 4096> chunk{};
    while (!transmitQueue_.empty() && !transmitBlocked_) {
        if (options_.pace && now < transmitLineFree_) {
            return;
        }
        const std::size_t size =
            std::min(transmitQueue_.size(), options_.pace ? pacedChunk : chunk.size());
        std::copy_n(transmitQueue_.begin(), size, chunk.begin());
        const ssize_t written = write(masterDescriptor_, chunk.data(), size);
        if (written < 0) {
            if (errno == EAGAIN) {
                transmitBlocked_ = true;
            } else {
                transmitQueue_.clear();
            }
            return;
        }
        const auto count = static_cast<std::size_t>(written);
        transmitQueue_.erase(transmitQueue_.begin(),
                             transmitQueue_.begin() + static_cast<std::ptrdiff_t>(count));
        working_.bytesSent += count;
        if (options_.pace) {
            transmitLineFree_ =
                std::max(transmitLineFree_, now) + byteTime * static_cast<long>(count);
        }
    }
}

std::optional<SimulatedChip::TimePoint> SimulatedChip::nextDeadline() const {
    std::optional<TimePoint> deadline;
    const auto consider = [&deadline](TimePoint candidate) {
        deadline = deadline ? std::min(*deadline, candidate) : candidate;
    };
    if (!arriving_.empty()) {
        consider(arriving_.front().first);
    }
    if (!delayed_.empty()) {
        consider(delayed_.front().first);
    }
    if (!transmitQueue_.empty() && !transmitBlocked_ && options_.pace) {
        consider(transmitLineFree_);
    }
    if (working_.mode == ChipReport::Mode::Bcsp && options_.answersBcsp) {
        const TimePoint linkDeadline = link_.nextDeadline();
        if (linkDeadline != TimePoint::max()) {
            consider(linkDeadline);
        }
    }
    return deadline;
}

void SimulatedChip::publish() {
    working_.linkEstablished = link_.established();
    working_.runningBuild = device_.runningBuild();
    working_.dfuMode = device_.inDfuMode();
    working_.dfuState = device_.state();
    working_.retransmissions = link_.counters().retransmissions;
    working_.duplicatesReceived = link_.counters().duplicatesReceived;
    {
        const std::lock_guard lock(mutex_);
        if (working_.manifestations != device_.manifestations()) {
            working_.manifestations = device_.manifestations();
            published_.manifestedImage = device_.manifestedImage();
        }
        std::vector<std::uint8_t> image = std::move(published_.manifestedImage);
        published_ = working_;
        published_.manifestedImage = std::move(image);
    }
    changed_.notify_all();
}

}  // namespace Sim
