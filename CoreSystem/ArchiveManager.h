#pragma once

#include <archive.h>

#include <cstdint>
#include <functional>
#include <istream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "CoreSystem/ArchiveEventQueue.h"
#include "CoreSystem/ArchiveStatus.h"
#include "CoreSystem/CRC32.h"
#include "platform/TreeWriter.h"

namespace CoreSystem {

// Unpacks a gzip-compressed tar archive lying in a byte range of an open input stream, writing
// every member beneath a destination prefix, optionally computing the package CRC over the raw
// archive bytes. Decompression and tar parsing are libarchive's; members are written by
// Platform::TreeWriter, relative to open folder descriptors: existing files are replaced, missing
// folders created, modification times restored and permissions kept less the umask (never the
// set-user, set-group or sticky bits), and the writeback to storage of each file but the small ones
// is started as soon as it is written. Reading, checking and inflating run on a thread of their
// own, so that they overlap with writing; the callbacks all run on the calling thread, in the order
// of the archive.
//
// Members that would land outside the destination are refused and not written: a stored path that
// is absolute or has a ".." component, a hard link whose target is such a path, and anything
// written through a symbolic link. So are members that are neither files, folders nor links:
// device nodes, named pipes and sockets. The rest of the archive is still extracted.
//
// Symbolic links never lead out of the unit root: an absolute target is a unit path and is put
// beneath the unit root like every other; a relative target that climbs above the unit root from
// where the link stands is refused. With the unit root at the host's root nothing is outside, and
// links are written as stored.
//
// Callbacks: entryStarted gets every member's stored path as read, refused members included;
// entryFinished gets destinationPrefix + stored path only for members that were written without a
// failure.
class ArchiveManager {
public:
    // total is the archive size and done the bytes handed to libarchive so far, both the low
    // 32 bits of their 64-bit counters. Called once per read, also for a read that returns 0.
    using ProgressCallback = void (*)(std::uint32_t total, std::uint32_t done, void* context);
    using EntryCallback = void (*)(const char* path, void* context);
    // Sees every piece of the archive as it is read, on the reading thread, before libarchive.
    using DataObserver = std::function<void(std::span<const char> piece)>;

    // Large enough that reading the package costs few system calls and few progress reports.
    static constexpr std::size_t readBufferSize = std::size_t{64} * 1024;

    // The archive is `size` bytes at `startOffset` in `stream`; the stream stays the caller's and
    // must outlive the manager. Nothing is read before `extract`.
    ArchiveManager(std::istream& stream, std::int64_t startOffset, std::uint64_t size);
    ArchiveManager(const ArchiveManager&) = delete;
    ArchiveManager& operator=(const ArchiveManager&) = delete;
    ArchiveManager(ArchiveManager&&) = delete;
    ArchiveManager& operator=(ArchiveManager&&) = delete;
    ~ArchiveManager() = default;

    // Writes every member to destinationPrefix + stored path (joined as text, so a directory
    // prefix ends with "/"; null leaves stored paths relative to the current directory). Returns
    // the package CRC of the archive bytes read when computeCrc is true, else 0. After a clean
    // extraction the CRC covers all `size` bytes; after a failure, the bytes read until then.
    // Every callback may be null; all three get `context`.
    std::uint32_t extract(bool computeCrc, const char* destinationPrefix, ProgressCallback progress,
                          EntryCallback entryStarted, EntryCallback entryFinished, void* context);

    // Every piece `extract` reads goes to `observer` as well; it must not touch what the
    // callbacks touch, since it runs on another thread.
    void observeData(DataObserver observer) { dataObserver_ = std::move(observer); }

    // The outcome of the last `extract`.
    ArchiveStatus status() const { return status_; }

    // libarchive client callbacks; `client` is the ArchiveManager.
    static int ReadOpenCallback(struct archive* archive, void* client);
    static la_ssize_t ReadCallback(struct archive* archive, void* client, const void** buffer);
    static int ReadCloseCallback(struct archive* archive, void* client);

private:
    // The reading side, on its own thread: everything it finds goes to the queue, `end` last.
    void readArchive(ArchiveEventQueue& queue);
    void readMembers();
    // False when the reader cannot go on.
    bool readMemberData(const std::string& storedPath);
    // Hands the next piece of the range to `buffer`: its length, 0 at the end of the range, or
    // ARCHIVE_FATAL once the stream has ended early.
    la_ssize_t readNextBlock(struct archive* archive, const void** buffer);
    void readRemainingInput();
    // Why the member must not be written, or null; puts an absolute link target beneath the unit
    // root.
    const char* refusalOf(struct archive_entry* entry);
    bool placeLinkTarget(struct archive_entry* entry, const std::string& storedPath) const;
    void noticeReadFailure(const char* operation, const char* storedPath);
    void notice(std::string text, ArchiveStatus failure);

    // The writing side, on the calling thread.
    void writeMembers(ArchiveEventQueue& queue, const char* destinationPrefix,
                      const std::string& writerPrefix);
    void startMember(ArchiveEvent& event, Platform::TreeWriter& writer);
    void writeMemberData(const ArchiveEvent& event, Platform::TreeWriter& writer);
    void endMember(const ArchiveEvent& event, Platform::TreeWriter& writer);
    void memberWritten();
    void noteFailure(ArchiveStatus failure);
    // A member the writer did not write: refused when it would go through a link, else failed.
    void noteWriterOutcome(Platform::TreeWriter::Outcome outcome, const char* step,
                           const Platform::TreeWriter& writer);

    std::vector<char> readBuffer_;
    std::istream* sourceStream_;
    std::int64_t startOffset_;
    std::uint64_t totalSize_;
    std::uint64_t remaining_ = 0;
    bool computeCrc_ = false;
    DataObserver dataObserver_;
    // Used by the reading thread alone while it runs.
    ArchiveEventQueue* queue_ = nullptr;
    struct archive* reader_ = nullptr;
    ProgressCallback progress_ = nullptr;
    EntryCallback entryStarted_ = nullptr;
    EntryCallback entryFinished_ = nullptr;
    void* context_ = nullptr;
    CRC32 crcCalculator_;
    std::uint32_t runningCrc_ = 0;
    bool inputEnded_ = false;
    std::string unitRoot_;              // prefix of host paths; empty when it is the host's root
    std::size_t destinationDepth_ = 0;  // folders between the unit root and the destination
    // Used by the writing side alone.
    const char* destinationPrefix_ = nullptr;
    std::string nameStart_;  // what the prefix adds to member names within the writer's folder
    OwnedEntry member_;
    std::string memberPath_;
    bool fileOpen_ = false;
    ArchiveStatus status_ = ArchiveStatus::clean;
};

}  // namespace CoreSystem
