#include "CoreSystem/M2InputQueue.h"

#include <array>
#include <bit>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>

#include "CoreSystem/Console.h"
#include "platform/ThreadName.h"
#include "platform/UnitRoot.h"

namespace CoreSystem {
namespace {

void stamp(InputEvent& event) {
    const auto now = Platform::monotonicNow();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now);
    event.seconds = static_cast<std::uint32_t>(seconds.count());
    event.nanoseconds = static_cast<std::uint32_t>((now - seconds).count());
}

// Word `index` of a driver message, in the unit's own byte order.
std::uint32_t messageWord(const std::array<std::uint8_t, M2InputQueue::touchMessageSize>& message,
                          std::size_t index) {
    std::uint32_t word = 0;
    std::memcpy(&word, message.data() + index * sizeof word, sizeof word);
    return word;
}

// A message shorter than its fixed size (a driver at its end returns none) counts as a failed
// read: taking it would act on stale bytes, and an empty read would repeat for ever.
bool readMessage(Platform::Device& device, void* message, std::size_t size) {
    return device.read(message, size) == static_cast<ssize_t>(size);
}

}  // namespace

M2InputQueue::M2InputQueue(bool semaphoreMode) : semaphoreMode_(semaphoreMode) {}

M2InputQueue::~M2InputQueue() {
    {
        const std::lock_guard lock(readersMutex_);
        stopping_ = true;
        // Wakes a reader blocked on its driver. A device that is not open has no reader on it,
        // and only a driver's socket can block a read for good.
        static_cast<void>(keyDevice_.shutdown());
        static_cast<void>(touchDevice_.shutdown());
    }
    if (keyReader_.joinable()) {
        keyReader_.join();
    }
    if (touchReader_.joinable()) {
        touchReader_.join();
    }
}

void M2InputQueue::startKeyReader() {
    if (!keyReader_.joinable()) {
        keyReader_ = std::thread(KeyReceive, this);
    }
}

void M2InputQueue::startTouchReader() {
    if (!touchReader_.joinable()) {
        touchReader_ = std::thread(TouchReceive, this);
    }
}

InputEvent M2InputQueue::getEvent(int timeoutSeconds) {
    if (timeoutSeconds > 0 && semaphoreMode_) {
        waitSemaphore(std::chrono::seconds(timeoutSeconds));
    }
    InputEvent event;
    const std::lock_guard lock(mutex_);
    if (!events_.empty()) {
        event = events_.front();
        events_.pop_front();
    }
    return event;
}

void M2InputQueue::processKeyMask(std::uint16_t mask) {
    InputEvent event;
    event.type = InputEvent::typeKey;
    event.keyMask = mask;
    stamp(event);
    const std::uint16_t previous = previousKeyMask_;
    if (mask == previous) {
        return;
    }
    const int keys = std::popcount(mask);
    const int previousKeys = std::popcount(previous);
    if (keys >= 2 && previousKeys <= 1) {
        // A second key joins: a single key held until now counts as released, unless the keys
        // already formed a multi-key set.
        if (!multiKey_ && previousKeys == 1) {
            queueKeyEvent(InputEvent::keyRelease, previous, event);
        }
        multiKey_ = true;
        queueKeyEvent(InputEvent::keyMultiKey, mask, event);
    } else if (!multiKey_) {
        if (previous == 0) {
            queueKeyEvent(InputEvent::keyPress, mask, event);
        } else if (mask == 0) {
            queueKeyEvent(InputEvent::keyRelease, previous, event);
        }
        // One key turning into another without an empty mask between gives no event.
    } else if (previousKeys < keys) {
        queueKeyEvent(InputEvent::keyMultiKey, mask, event);
    } else if (mask == 0) {
        // Releasing the whole multi-key set gives no event.
        multiKey_ = false;
    }
    previousKeyMask_ = mask;
}

void M2InputQueue::processTouch(InputEvent event) {
    event.type = InputEvent::typeTouch;
    stamp(event);
    const std::uint32_t kind = event.touchKind;
    const std::uint32_t contact = event.contact;
    const bool previousDown =
        previousTouchKind_ == InputEvent::touchPress || previousTouchKind_ == InputEvent::touchMove;
    if (previousDown && contact != previousContact_ &&
        (kind == InputEvent::touchMove || kind == InputEvent::touchPress)) {
        // A new contact while the old one is still down: release the old one (and press the
        // new one when it arrives as a move), at this event's place, ahead of everything.
        InputEvent release = event;
        release.touchKind = InputEvent::touchRelease;
        release.contact = previousContact_;
        insertAtFront(release);
        if (kind == InputEvent::touchMove) {
            InputEvent press = event;
            press.touchKind = InputEvent::touchPress;
            insertAtFront(press);
        }
    }
    {
        const std::lock_guard lock(mutex_);
        // A move replaces the move queued just before it, if that one is still waiting at the
        // back; whatever else has come to the back since (a key event, a synthesised release
        // once the queue had run empty) stays.
        if (previousTouchKind_ == InputEvent::touchMove && kind == InputEvent::touchMove &&
            !events_.empty() && events_.back().type == InputEvent::typeTouch &&
            events_.back().touchKind == InputEvent::touchMove) {
            events_.pop_back();
        }
        events_.push_back(event);
    }
    if (semaphoreMode_) {
        postSemaphore();
    }
    previousTouchKind_ = kind;
    previousContact_ = contact;
}

void M2InputQueue::KeyReceive(M2InputQueue* queue) {
    Platform::nameCurrentThread("KeyReceive");
    if (!queue->openReaderDevice(queue->keyDevice_, "/dev/key",
                                 "Could not initialize key driver")) {
        return;
    }
    std::uint16_t mask = 0;
    while (readMessage(queue->keyDevice_, &mask, keyMessageSize)) {
        queue->processKeyMask(mask);
    }
    queue->closeReaderDevice(queue->keyDevice_);
}

void M2InputQueue::TouchReceive(M2InputQueue* queue) {
    Platform::nameCurrentThread("TouchReceieve");
    if (!queue->openReaderDevice(queue->touchDevice_, "/dev/touch-dura",
                                 "Could not initialize touch driver")) {
        return;
    }
    std::array<std::uint8_t, touchMessageSize> message{};
    while (readMessage(queue->touchDevice_, message.data(), message.size())) {
        InputEvent event;
        event.touchKind = messageWord(message, 0);
        event.x = static_cast<std::int32_t>(messageWord(message, 1));
        event.y = static_cast<std::int32_t>(messageWord(message, 2));
        event.contact = messageWord(message, 3);
        for (std::size_t index = 0; index < std::size(event.touchRest); ++index) {
            event.touchRest[index] = messageWord(message, 4 + index);
        }
        queue->processTouch(event);
    }
    // A read that fails because the queue is being destroyed is no driver fault.
    if (!queue->isStopping()) {
        Console::print("Could not read touch driver\n");
    }
    queue->closeReaderDevice(queue->touchDevice_);
}

bool M2InputQueue::openReaderDevice(Platform::Device& slot, std::string_view unitPath,
                                    std::string_view openFailure) {
    Platform::Device device = Platform::Device::open(Platform::UnitRoot::hostPath(unitPath));
    if (!device.isOpen()) {
        Console::print(std::string(openFailure) + "\n");
        return false;
    }
    const std::lock_guard lock(readersMutex_);
    if (stopping_) {
        return false;
    }
    slot = std::move(device);
    return true;
}

void M2InputQueue::closeReaderDevice(Platform::Device& slot) {
    const std::lock_guard lock(readersMutex_);
    slot.close();
}

bool M2InputQueue::isStopping() {
    const std::lock_guard lock(readersMutex_);
    return stopping_;
}

void M2InputQueue::queueKeyEvent(std::uint32_t state, std::uint32_t mask,
                                 const InputEvent& stamped) {
    InputEvent event = stamped;
    event.keyState = state;
    event.keyMask = mask;
    insertAtFront(event);
}

void M2InputQueue::insertAtFront(const InputEvent& event) {
    {
        const std::lock_guard lock(mutex_);
        events_.push_front(event);
    }
    if (semaphoreMode_) {
        postSemaphore();
    }
}

void M2InputQueue::postSemaphore() {
    {
        const std::lock_guard lock(semaphoreMutex_);
        ++semaphoreCount_;
    }
    semaphoreCondition_.notify_one();
}

void M2InputQueue::waitSemaphore(Platform::Clock::Duration timeout) {
    std::unique_lock lock(semaphoreMutex_);
    if (Platform::Clock::current().waitFor(semaphoreCondition_, lock, timeout,
                                           [this] { return semaphoreCount_ > 0; })) {
        --semaphoreCount_;
    }
}

}  // namespace CoreSystem
