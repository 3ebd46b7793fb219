#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "CoreSystem/InputEvent.h"
#include "CoreSystem/M2InputQueue.h"
#include "TestSupport.h"
#include "platform/testkit/DeviceServer.h"
#include "platform/testkit/FakeClock.h"

namespace {

using CoreSystem::InputEvent;
using CoreSystem::M2InputQueue;
using Platform::Testkit::DeviceServer;
using Platform::Testkit::FakeClock;
using TestSupport::TemporaryUnitRoot;

// Waits on real threads never run this long unless the code under test is stuck.
constexpr auto stuckLimit = std::chrono::seconds(60);

std::vector<InputEvent> drain(M2InputQueue& queue) {
    std::vector<InputEvent> events;
    for (InputEvent event = queue.getEvent(0); event.type != InputEvent::typeNone;
         event = queue.getEvent(0)) {
        events.push_back(event);
    }
    return events;
}

// The next event the reader threads deliver.
InputEvent nextEvent(M2InputQueue& queue) {
    const auto deadline = std::chrono::steady_clock::now() + stuckLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        const InputEvent event = queue.getEvent(1);
        if (event.type != InputEvent::typeNone) {
            return event;
        }
    }
    ADD_FAILURE() << "no event arrived";
    return {};
}

struct KeyEdge {
    std::uint32_t state;
    std::uint32_t mask;
    bool operator==(const KeyEdge&) const = default;
};

std::ostream& operator<<(std::ostream& out, const KeyEdge& edge) {
    return out << "{state " << edge.state << ", mask " << edge.mask << "}";
}

std::vector<KeyEdge> keyEdges(const std::vector<InputEvent>& events) {
    std::vector<KeyEdge> edges;
    for (const InputEvent& event : events) {
        EXPECT_EQ(event.type, InputEvent::typeKey);
        edges.push_back({event.keyState, event.keyMask});
    }
    return edges;
}

TEST(M2InputQueueKeyTest, KeyMaskSequencesGiveTheirEdgesMostRecentFirst) {
    constexpr auto press = InputEvent::keyPress;
    constexpr auto release = InputEvent::keyRelease;
    constexpr auto multi = InputEvent::keyMultiKey;
    struct Step {
        std::uint16_t mask;
        std::vector<KeyEdge> events;  // as getEvent returns them after this mask
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"one key pressed and released", {{4, {{press, 4}}}, {0, {{release, 4}}}}},
        {"a mask seen again changes nothing", {{4, {{press, 4}}}, {4, {}}, {0, {{release, 4}}}}},
        {"a second key joins, then all are released",
         {{4, {{press, 4}}},
          {12, {{multi, 12}, {release, 4}}},
          {0, {}},
          {4, {{press, 4}}},
          {0, {{release, 4}}}}},
        {"one key turns into another", {{4, {{press, 4}}}, {8, {}}, {0, {{release, 8}}}}},
        {"two keys at once", {{12, {{multi, 12}}}, {0, {}}, {8, {{press, 8}}}}},
        {"a third key joins and keys leave one by one",
         {{4, {{press, 4}}},
          {12, {{multi, 12}, {release, 4}}},
          {28, {{multi, 28}}},
          {12, {}},
          {4, {}},
          {0, {}}}},
        {"a key rejoins a multi-key set",
         {{4, {{press, 4}}}, {12, {{multi, 12}, {release, 4}}}, {4, {}}, {12, {{multi, 12}}}}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        M2InputQueue queue(true);
        for (const Step& step : testCase.steps) {
            SCOPED_TRACE("mask " + std::to_string(step.mask));
            queue.processKeyMask(step.mask);
            EXPECT_EQ(keyEdges(drain(queue)), step.events);
        }
    }
}

InputEvent touch(std::uint32_t kind, std::uint32_t contact, std::int32_t x, std::int32_t y) {
    InputEvent event;
    event.type = InputEvent::typeTouch;
    event.touchKind = kind;
    event.contact = contact;
    event.x = x;
    event.y = y;
    return event;
}

struct TouchPoint {
    std::uint32_t kind;
    std::uint32_t contact;
    std::int32_t x;
    std::int32_t y;
    bool operator==(const TouchPoint&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TouchPoint& point) {
    return out << "{kind " << point.kind << ", contact " << point.contact << ", " << point.x << ","
               << point.y << "}";
}

std::vector<TouchPoint> touchPoints(const std::vector<InputEvent>& events) {
    std::vector<TouchPoint> points;
    for (const InputEvent& event : events) {
        EXPECT_EQ(event.type, InputEvent::typeTouch);
        points.push_back({event.touchKind, event.contact, event.x, event.y});
    }
    return points;
}

TEST(M2InputQueueTouchTest, TouchSequencesQueueAsTheContactsRequire) {
    constexpr auto press = InputEvent::touchPress;
    constexpr auto move = InputEvent::touchMove;
    constexpr auto release = InputEvent::touchRelease;
    struct Case {
        const char* name;
        std::vector<TouchPoint> fed;
        std::vector<TouchPoint> queued;  // front to back, none read in between
    };
    const std::vector<Case> cases = {
        {"moves of one contact coalesce behind its press",
         {{press, 7, 1, 1}, {move, 7, 2, 2}, {move, 7, 3, 3}, {move, 7, 4, 4}},
         {{press, 7, 1, 1}, {move, 7, 4, 4}}},
        {"a move of a new contact presses it and releases the old one first",
         {{press, 7, 1, 2}, {move, 9, 50, 60}},
         {{press, 9, 50, 60}, {release, 7, 50, 60}, {press, 7, 1, 2}, {move, 9, 50, 60}}},
        {"the new contact's move also replaces the old contact's waiting move",
         {{press, 7, 1, 2}, {move, 7, 3, 4}, {move, 9, 50, 60}},
         {{press, 9, 50, 60}, {release, 7, 50, 60}, {press, 7, 1, 2}, {move, 9, 50, 60}}},
        {"a press of a new contact releases the old one first",
         {{press, 7, 1, 2}, {press, 9, 50, 60}},
         {{release, 7, 50, 60}, {press, 7, 1, 2}, {press, 9, 50, 60}}},
        {"after a release a new contact needs nothing extra",
         {{press, 7, 1, 2}, {release, 7, 1, 2}, {press, 9, 5, 6}, {move, 9, 7, 8}},
         {{press, 7, 1, 2}, {release, 7, 1, 2}, {press, 9, 5, 6}, {move, 9, 7, 8}}},
        {"other kinds pass through without synthesised events",
         {{press, 7, 1, 2}, {2, 9, 3, 4}, {move, 9, 5, 6}, {move, 9, 7, 8}},
         {{press, 7, 1, 2}, {2, 9, 3, 4}, {move, 9, 7, 8}}},
        {"moves separated by another event are all kept",
         {{move, 7, 1, 1}, {release, 7, 1, 1}, {move, 7, 2, 2}},
         {{move, 7, 1, 1}, {release, 7, 1, 1}, {move, 7, 2, 2}}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        M2InputQueue queue(true);
        for (const TouchPoint& point : testCase.fed) {
            queue.processTouch(touch(point.kind, point.contact, point.x, point.y));
        }
        EXPECT_EQ(touchPoints(drain(queue)), testCase.queued);
    }
}

TEST(M2InputQueueTouchTest, SynthesisedEventsGoAheadOfWaitingKeyEventsAndCopyTheMessage) {
    FakeClock clock;
    clock.advance(std::chrono::seconds(7) + std::chrono::nanoseconds(123456789));
    M2InputQueue queue(true);
    queue.processKeyMask(4);
    queue.processTouch(touch(InputEvent::touchPress, 7, 1, 2));
    InputEvent move = touch(InputEvent::touchMove, 9, -50, 60);
    move.touchRest[0] = 11;
    move.touchRest[1] = 12;
    move.touchRest[2] = 13;
    queue.processTouch(move);

    const std::vector<InputEvent> events = drain(queue);
    ASSERT_EQ(events.size(), 5U);
    InputEvent expectedPress = move;
    expectedPress.touchKind = InputEvent::touchPress;
    InputEvent expectedRelease = move;
    expectedRelease.touchKind = InputEvent::touchRelease;
    expectedRelease.contact = 7;
    for (InputEvent* expected : {&expectedPress, &expectedRelease, &move}) {
        expected->seconds = 7;
        expected->nanoseconds = 123456789;
    }
    EXPECT_EQ(events[0], expectedPress);
    EXPECT_EQ(events[1], expectedRelease);
    EXPECT_EQ(events[2].type, InputEvent::typeKey);
    EXPECT_EQ(events[2].seconds, 7U);
    EXPECT_EQ(events[2].nanoseconds, 123456789U);
    EXPECT_EQ(events[3].touchKind, InputEvent::touchPress);
    EXPECT_EQ(events[4], move);
}

// A move replaces only a move still waiting at the back: once the previous move has been read,
// whatever has reached the back since must stay.
TEST(M2InputQueueTouchTest, AMoveNeverRemovesAnythingButTheWaitingMove) {
    {
        SCOPED_TRACE("a key event queued after the move was read");
        M2InputQueue queue(true);
        queue.processTouch(touch(InputEvent::touchPress, 7, 1, 1));
        queue.processTouch(touch(InputEvent::touchMove, 7, 2, 2));
        drain(queue);
        queue.processKeyMask(4);
        queue.processTouch(touch(InputEvent::touchMove, 7, 3, 3));
        const std::vector<InputEvent> events = drain(queue);
        ASSERT_EQ(events.size(), 2U);
        EXPECT_EQ(events[0].type, InputEvent::typeKey);
        EXPECT_EQ(events[0].keyState, InputEvent::keyPress);
        EXPECT_EQ(touchPoints({events[1]}),
                  (std::vector<TouchPoint>{{InputEvent::touchMove, 7, 3, 3}}));
    }
    {
        SCOPED_TRACE("a new contact after the old one's move was read");
        M2InputQueue queue(true);
        queue.processTouch(touch(InputEvent::touchPress, 7, 1, 1));
        queue.processTouch(touch(InputEvent::touchMove, 7, 2, 2));
        drain(queue);
        queue.processTouch(touch(InputEvent::touchMove, 9, 3, 3));
        EXPECT_EQ(touchPoints(drain(queue)),
                  (std::vector<TouchPoint>{{InputEvent::touchPress, 9, 3, 3},
                                           {InputEvent::touchRelease, 7, 3, 3},
                                           {InputEvent::touchMove, 9, 3, 3}}));
    }
}

TEST(M2InputQueueWaitTest, GetEventWaitsOnlyInSemaphoreModeAndOnlyForAnEmptyQueue) {
    struct Case {
        const char* name;
        int timeoutSeconds;
        bool semaphoreMode;
        bool eventQueued;
        std::chrono::seconds waited;
    };
    const Case cases[] = {
        {"empty queue, one second", 1, true, false, std::chrono::seconds(1)},
        {"empty queue, three seconds", 3, true, false, std::chrono::seconds(3)},
        {"empty queue, no time-out", 0, true, false, std::chrono::seconds(0)},
        {"empty queue, negative time-out", -1, true, false, std::chrono::seconds(0)},
        {"empty queue without semaphore mode", 1, false, false, std::chrono::seconds(0)},
        {"an event waiting", 1, true, true, std::chrono::seconds(0)},
        {"an event waiting without semaphore mode", 1, false, true, std::chrono::seconds(0)},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        FakeClock clock;
        M2InputQueue queue(testCase.semaphoreMode);
        if (testCase.eventQueued) {
            queue.processKeyMask(4);
        }
        const auto start = clock.now();
        const InputEvent event = queue.getEvent(testCase.timeoutSeconds);
        EXPECT_EQ(clock.now() - start, testCase.waited);
        EXPECT_EQ(event.type, testCase.eventQueued ? InputEvent::typeKey : InputEvent::typeNone);
    }
}

// Stands in for a driver: each read returns the next scripted reply, blocking until there is one.
class ScriptedDriver {
public:
    ScriptedDriver(const TemporaryUnitRoot& root, const char* unitPath)
        : server_(root.prepare(unitPath),
                  {.read = [this](std::uint32_t /*wanted*/,
                                  std::vector<std::uint8_t>& out) { return read(out); },
                   .onStop =
                       [this] {
                           const std::lock_guard lock(mutex_);
                           stopped_ = true;
                           changed_.notify_all();
                       }}) {}

    template <typename Message>
    void send(const Message& message) {
        std::vector<std::uint8_t> bytes(sizeof message);
        std::memcpy(bytes.data(), &message, sizeof message);
        sendBytes(std::move(bytes));
    }
    void sendBytes(std::vector<std::uint8_t> bytes) {
        const std::lock_guard lock(mutex_);
        replies_.push_back({0, std::move(bytes)});
        changed_.notify_all();
    }
    void fail(int error) {
        const std::lock_guard lock(mutex_);
        replies_.push_back({error, {}});
        changed_.notify_all();
    }
    // True once a reader has asked for `count` reads.
    bool waitForReads(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, stuckLimit, [&] { return reads_ >= count; });
    }

private:
    struct Reply {
        int error;
        std::vector<std::uint8_t> bytes;
    };

    std::int32_t read(std::vector<std::uint8_t>& out) {
        std::unique_lock lock(mutex_);
        ++reads_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return stopped_ || !replies_.empty(); });
        if (stopped_) {
            return -ECANCELED;
        }
        Reply reply = std::move(replies_.front());
        replies_.pop_front();
        if (reply.error != 0) {
            return -reply.error;
        }
        out = std::move(reply.bytes);
        return static_cast<std::int32_t>(out.size());
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Reply> replies_;
    int reads_ = 0;
    bool stopped_ = false;
    DeviceServer server_;  // last: stopped before the script it reads goes away
};

struct TouchMessage {
    std::uint32_t kind;
    std::int32_t x;
    std::int32_t y;
    std::uint32_t contact;
    std::uint32_t rest[3];
};
static_assert(sizeof(TouchMessage) == M2InputQueue::touchMessageSize);

// Standard output led into a pipe, for lines that reader threads print.
class CapturedOutput {
public:
    CapturedOutput() {
        std::fflush(stdout);
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe");
        }
        readEnd_ = ends[0];
        savedOutput_ = dup(STDOUT_FILENO);
        dup2(ends[1], STDOUT_FILENO);
        close(ends[1]);
    }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;
    CapturedOutput(CapturedOutput&&) = delete;
    CapturedOutput& operator=(CapturedOutput&&) = delete;
    ~CapturedOutput() {
        std::fflush(stdout);
        dup2(savedOutput_, STDOUT_FILENO);
        close(savedOutput_);
        close(readEnd_);
    }

    // True once `line` has been printed.
    bool waitForLine(const std::string& line) {
        const auto deadline = std::chrono::steady_clock::now() + stuckLimit;
        while (text_.find(line + "\n") == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) {
                return false;
            }
        }
        return true;
    }
    // Everything printed so far.
    const std::string& text() {
        std::fflush(stdout);
        while (readSome(0)) {
        }
        return text_;
    }

private:
    bool readSome(int timeoutMilliseconds) {
        pollfd watched{readEnd_, POLLIN, 0};
        if (poll(&watched, 1, timeoutMilliseconds) <= 0) {
            return false;
        }
        char buffer[256];
        const ssize_t count = ::read(readEnd_, buffer, sizeof buffer);
        if (count <= 0) {
            return false;
        }
        text_.append(buffer, static_cast<std::size_t>(count));
        return true;
    }

    int readEnd_ = -1;
    int savedOutput_ = -1;
    std::string text_;
};

std::set<std::string> threadNames() {
    std::set<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name = TestSupport::readHostFile(task.path() / "comm");
        if (!name.empty() && name.back() == '\n') {
            name.pop_back();
        }
        names.insert(name);
    }
    return names;
}

// Both drivers stand in at their paths; each test starts the readers of its own queue.
class M2InputQueueReaderTest : public ::testing::Test {
protected:
    static void startReaders(M2InputQueue& queue) {
        queue.startKeyReader();
        queue.startTouchReader();
    }

    TemporaryUnitRoot root;
    ScriptedDriver keyDriver{root, "/dev/key"};
    ScriptedDriver touchDriver{root, "/dev/touch-dura"};
};

TEST_F(M2InputQueueReaderTest, ReadersTurnDriverMessagesIntoEvents) {
    M2InputQueue queue(true);
    startReaders(queue);

    keyDriver.send(std::uint16_t{4});
    InputEvent event = nextEvent(queue);
    EXPECT_EQ(event.type, InputEvent::typeKey);
    EXPECT_EQ(event.keyState, InputEvent::keyPress);
    EXPECT_EQ(event.keyMask, 4U);

    keyDriver.send(std::uint16_t{0});
    event = nextEvent(queue);
    EXPECT_EQ(event.keyState, InputEvent::keyRelease);
    EXPECT_EQ(event.keyMask, 4U);

    touchDriver.send(TouchMessage{InputEvent::touchPress, -5, 470, 3, {21, 22, 23}});
    event = nextEvent(queue);
    EXPECT_EQ(event.type, InputEvent::typeTouch);
    EXPECT_EQ(event.touchKind, InputEvent::touchPress);
    EXPECT_EQ(event.x, -5);
    EXPECT_EQ(event.y, 470);
    EXPECT_EQ(event.contact, 3U);
    EXPECT_EQ(event.touchRest[0], 21U);
    EXPECT_EQ(event.touchRest[1], 22U);
    EXPECT_EQ(event.touchRest[2], 23U);
}

TEST_F(M2InputQueueReaderTest, DestroyingTheQueueEndsReadersBlockedInTheirDrivers) {
    {
        CapturedOutput output;
        {
            M2InputQueue queue(true);
            startReaders(queue);
            ASSERT_TRUE(keyDriver.waitForReads(1));
            ASSERT_TRUE(touchDriver.waitForReads(1));
            const std::set<std::string> names = threadNames();
            EXPECT_TRUE(names.contains("KeyReceive"));
            EXPECT_TRUE(names.contains("TouchReceieve"));
        }
        // Ending the readers is no driver fault.
        EXPECT_EQ(output.text(), "");
    }
    // Destroyed before, while or after the readers connect.
    for (int round = 0; round < 20; ++round) {
        M2InputQueue queue(true);
        startReaders(queue);
    }
}

TEST_F(M2InputQueueReaderTest, DestroyingTheQueueWhileDriversDeliverIsClean) {
    constexpr int messages = 400;
    for (int index = 0; index < messages; ++index) {
        keyDriver.send(static_cast<std::uint16_t>(index % 2 == 0 ? 4 : 0));
        touchDriver.send(TouchMessage{InputEvent::touchMove, index, 1, 1, {}});
    }
    M2InputQueue queue(true);
    startReaders(queue);
    ASSERT_TRUE(keyDriver.waitForReads(messages / 4));
    ASSERT_TRUE(touchDriver.waitForReads(messages / 4));
    EXPECT_NE(queue.getEvent(1).type, InputEvent::typeNone);
}

TEST(M2InputQueueReaderOpenTest, ReportsDriversThatCannotBeOpened) {
    const TemporaryUnitRoot root;
    CapturedOutput output;
    M2InputQueue queue(true);
    queue.startKeyReader();
    queue.startTouchReader();
    EXPECT_TRUE(output.waitForLine("Could not initialize key driver"));
    EXPECT_TRUE(output.waitForLine("Could not initialize touch driver"));
}

class M2InputQueueTouchReadFailureTest : public M2InputQueueReaderTest,
                                         public ::testing::WithParamInterface<bool> {};

TEST_P(M2InputQueueTouchReadFailureTest, ReportsTheFailureAndKeepsTheKeys) {
    CapturedOutput output;
    M2InputQueue queue(true);
    startReaders(queue);

    touchDriver.send(TouchMessage{InputEvent::touchPress, 1, 2, 3, {}});
    EXPECT_EQ(nextEvent(queue).type, InputEvent::typeTouch);
    const bool shortMessage = GetParam();
    if (shortMessage) {
        touchDriver.sendBytes({1, 0, 0, 0});
    } else {
        touchDriver.fail(EIO);
    }
    EXPECT_TRUE(output.waitForLine("Could not read touch driver"));

    keyDriver.send(std::uint16_t{8});
    const InputEvent key = nextEvent(queue);
    EXPECT_EQ(key.type, InputEvent::typeKey);
    EXPECT_EQ(key.keyMask, 8U);
}

INSTANTIATE_TEST_SUITE_P(ReadFailures, M2InputQueueTouchReadFailureTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& failure) {
                             return failure.param ? "ShortMessage" : "DriverError";
                         });

}  // namespace
