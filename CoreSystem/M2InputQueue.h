#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>

#include "CoreSystem/InputEvent.h"
#include "platform/Clock.h"
#include "platform/Device.h"

namespace CoreSystem {

// The unit's key and touch drivers turned into one queue of input events. Two reader threads
// block on "/dev/key" and "/dev/touch-dura" and insert events; the UI thread takes them out one
// at a time with getEvent. Key events are edges derived from the key mask and go to the front of
// the queue (the most recent key event is read first); touch events go to the back, with
// consecutive moves coalesced and a release (and press) synthesised ahead of everything when a
// new contact begins before the old one was released.
class M2InputQueue {
public:
    // In semaphore mode every insertion is counted, and getEvent waits for one.
    explicit M2InputQueue(bool semaphoreMode);
    M2InputQueue(const M2InputQueue&) = delete;
    M2InputQueue& operator=(const M2InputQueue&) = delete;
    M2InputQueue(M2InputQueue&&) = delete;
    M2InputQueue& operator=(M2InputQueue&&) = delete;
    // Ends the reader threads (their driver connections are shut down) and waits for them.
    virtual ~M2InputQueue();

    // Start the reader threads; each starts once, later calls do nothing.
    void startKeyReader();
    void startTouchReader();

    // The front event, removed; type none when the queue is empty. With a positive timeout in
    // semaphore mode, first waits up to that many seconds for an insertion.
    InputEvent getEvent(int timeoutSeconds);

    // What the reader threads do with one driver message. Each kind keeps its own state, so
    // each must be fed from one thread at a time (its reader's, or a test's).
    void processKeyMask(std::uint16_t mask);
    void processTouch(InputEvent event);

    // Driver message sizes.
    static constexpr std::size_t keyMessageSize = 2;
    static constexpr std::size_t touchMessageSize = 28;

private:
    static void KeyReceive(M2InputQueue* queue);
    static void TouchReceive(M2InputQueue* queue);

    // Opens a reader's driver into `slot`, where the destructor can shut it down. False when
    // there is nothing to read: the driver cannot be opened (`openFailure` is printed) or the
    // queue is being destroyed.
    bool openReaderDevice(Platform::Device& slot, std::string_view unitPath,
                          std::string_view openFailure);
    void closeReaderDevice(Platform::Device& slot);
    bool isStopping();

    void queueKeyEvent(std::uint32_t state, std::uint32_t mask, const InputEvent& stamped);
    void insertAtFront(const InputEvent& event);
    void postSemaphore();
    void waitSemaphore(Platform::Clock::Duration timeout);

    const bool semaphoreMode_;
    std::deque<InputEvent> events_;
    std::thread keyReader_;
    std::thread touchReader_;
    std::mutex mutex_;

    // A counting semaphore: insertions not yet waited for.
    std::mutex semaphoreMutex_;
    std::condition_variable semaphoreCondition_;
    std::size_t semaphoreCount_ = 0;

    // Key state: touched only by the key thread.
    std::uint16_t previousKeyMask_ = 0;
    bool multiKey_ = false;

    // Touch state: touched only by the touch thread.
    std::uint32_t previousContact_ = 0;
    std::uint32_t previousTouchKind_ = InputEvent::touchRelease;

    // The readers' driver connections, and whether the destructor has begun.
    std::mutex readersMutex_;
    Platform::Device keyDevice_;
    Platform::Device touchDevice_;
    bool stopping_ = false;
};

}  // namespace CoreSystem
