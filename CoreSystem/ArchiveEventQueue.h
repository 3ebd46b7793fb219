#pragma once

#include <archive_entry.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CoreSystem/ArchiveStatus.h"

namespace CoreSystem {

struct EntryDeleter {
    void operator()(struct archive_entry* entry) const { archive_entry_free(entry); }
};
using OwnedEntry = std::unique_ptr<struct archive_entry, EntryDeleter>;

// One thing the reading side of an extraction found, in the order it found it.
struct ArchiveEvent {
    enum class Kind {
        read,       // a piece of the archive was handed to libarchive; `done` bytes so far
        notice,     // a line to print, and a failure to note when `failure` is not clean
        member,     // the next member's header; `refusal` says why it must not be written
        data,       // a piece of the current member's data at `offset`
        memberEnd,  // the current member's data ended; `complete` is false when it broke off
        end,        // nothing follows
    };
    Kind kind = Kind::end;
    std::uint64_t done = 0;
    std::string text;
    ArchiveStatus failure = ArchiveStatus::clean;
    OwnedEntry entry;
    const char* refusal = nullptr;
    std::vector<char> bytes;
    std::int64_t offset = 0;
    bool complete = true;
};

// Hands events from the thread that reads and inflates an archive to the thread that writes its
// members. Events travel in batches, so that thousands of small members a second cost few
// wake-ups; the queue is bounded, so that memory stays small whatever the archive: a batch is
// handed over only while less than `byteLimit` bytes of data and `eventLimit` events wait.
class ArchiveEventQueue {
public:
    static constexpr std::size_t byteLimit = std::size_t{2} << 20U;
    static constexpr std::size_t batchBytes = std::size_t{512} << 10U;
    static constexpr std::size_t eventLimit = 2048;
    static constexpr std::size_t batchEvents = 256;

    // The reading side. An `end` event hands over everything still held back.
    void push(ArchiveEvent event);
    // The writing side: waits for the next event.
    ArchiveEvent pop();

private:
    void handOver();

    std::vector<ArchiveEvent> batch_;  // the reading side's alone
    std::size_t batchSize_ = 0;
    std::deque<ArchiveEvent> taken_;  // the writing side's alone

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<ArchiveEvent> handedOver_;
    std::size_t handedOverBytes_ = 0;
};

}  // namespace CoreSystem
