#pragma once

#include <archive.h>

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "CoreSystem/CRC32.h"
#include "platform/TreeWriter.h"

namespace CoreSystem {

// How the last extraction went. When several things go wrong, the first one detected is kept
// (a stream that ends early is detected before the damage it causes); every failure is printed as
// it happens. libarchive does not check the gzip trailer, so compressed data that is damaged but
// still inflates is not noticed here: a caller that needs integrity compares the returned CRC.
enum class ArchiveStatus {
    clean,           // every member was written
    corruptArchive,  // the gzip stream or a tar header or member was damaged
    inputTruncated,  // the stream could not deliver the declared bytes (ended early, failed seek)
    refusedMember,  // a member would have landed or pointed outside, or was no file, folder or link
    writeFailed,    // the disk refused a member (disk full, file in the way, name too long, ...)
};

// Unpacks a gzip-compressed tar archive lying in a byte range of an open input stream, writing
// every member beneath a destination prefix, optionally computing the package CRC over the raw
// archive bytes. Decompression and tar parsing are libarchive's; members are written by
// Platform::TreeWriter, relative to open folder descriptors: existing files are replaced, missing
// folders created, modification times restored and permissions kept less the umask (never the
// set-user, set-group or sticky bits), and each file's writeback to storage is started as soon as
// it is written.
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

    // The outcome of the last `extract`.
    ArchiveStatus status() const { return status_; }

    // libarchive client callbacks; `client` is the ArchiveManager.
    static int ReadOpenCallback(struct archive* archive, void* client);
    static la_ssize_t ReadCallback(struct archive* archive, void* client, const void** buffer);
    static int ReadCloseCallback(struct archive* archive, void* client);

private:
    // Hands the next piece of the range to `buffer`: its length, 0 at the end of the range, or
    // ARCHIVE_FATAL once the stream has ended early.
    la_ssize_t readNextBlock(struct archive* archive, const void** buffer);
    // Both return false when the reader cannot go on. `written` becomes false when the member's
    // data did not all reach the disk.
    void extractMembers(const char* destinationPrefix);
    bool extractCurrentEntry(const char* destinationPrefix, const std::string& nameStart,
                             Platform::TreeWriter& writer);
    bool writeEntry(const std::string& storedPath, const std::string& nameStart,
                    Platform::TreeWriter& writer, bool& written);
    bool copyEntryData(const std::string& storedPath, Platform::TreeWriter& writer, bool& written);
    // Puts an absolute target of the current symbolic-link member beneath the unit root; false
    // when the link would lead out of the unit root.
    bool placeLinkTarget(const std::string& storedPath);
    void readRemainingInput();
    void noteFailure(ArchiveStatus failure);
    void noteReadFailure(const char* operation, const char* storedPath);
    // A member the writer did not write: refused when it would go through a link, else failed.
    void noteWriterOutcome(Platform::TreeWriter::Outcome outcome, const char* step,
                           const std::string& storedPath, const Platform::TreeWriter& writer);
    // One line: the libarchive call, the member's stored path when there is one, the error.
    static void printFailure(const char* operation, const char* storedPath,
                             struct archive* archive);

    std::vector<char> readBuffer_;
    std::istream* sourceStream_;
    std::int64_t startOffset_;
    std::uint64_t totalSize_;
    std::uint64_t remaining_ = 0;
    bool computeCrc_ = false;
    struct archive* reader_ = nullptr;
    struct archive_entry* currentEntry_ = nullptr;
    ProgressCallback progress_ = nullptr;
    EntryCallback entryStarted_ = nullptr;
    EntryCallback entryFinished_ = nullptr;
    void* context_ = nullptr;
    CRC32 crcCalculator_;
    std::uint32_t runningCrc_ = 0;
    bool inputEnded_ = false;
    std::string unitRoot_;              // prefix of host paths; empty when it is the host's root
    std::size_t destinationDepth_ = 0;  // folders between the unit root and the destination
    ArchiveStatus status_ = ArchiveStatus::clean;
};

}  // namespace CoreSystem
