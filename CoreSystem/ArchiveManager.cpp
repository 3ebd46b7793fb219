#include "CoreSystem/ArchiveManager.h"

#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "CoreSystem/Console.h"
#include "platform/PathComponents.h"
#include "platform/UnitRoot.h"

namespace CoreSystem {
namespace {

const char* errorText(struct archive* archive) {
    const char* text = archive_error_string(archive);
    return text != nullptr ? text : "unknown error";
}

// A relative path without ".." components names something beneath the folder it is joined to.
bool staysBeneath(std::string_view path) {
    if (path.empty() || path.front() == '/') {
        return false;
    }
    bool climbs = false;
    Platform::forEachPathComponent(
        path, [&climbs](std::string_view component) { climbs |= component == ".."; });
    return !climbs;
}

std::size_t componentCount(std::string_view path) {
    std::size_t count = 0;
    Platform::forEachPathComponent(path, [&count](std::string_view /*component*/) { ++count; });
    return count;
}

// Whether a symbolic link `depth` folders below the unit root, pointing at the relative `target`,
// leads to somewhere inside the unit root. A name in the target may itself be a link to any
// folder of the unit, the root included, so a ".." after a name could climb out of it: only
// leading ".." components are allowed, as many as the link has folders above it.
bool linkStaysInside(std::string_view target, std::size_t depth) {
    bool inside = true;
    bool afterName = false;
    Platform::forEachPathComponent(target, [&](std::string_view component) {
        if (component != "..") {
            afterName = true;
        } else if (afterName || depth == 0) {
            inside = false;
        } else {
            --depth;
        }
    });
    return inside;
}

// Why a member must not be written, or null when it may be. Only regular files, folders,
// symbolic links and hard links are written: a device node would open the unit's hardware, and
// a named pipe or socket would stall whatever opens it later.
const char* refusalReason(struct archive_entry* entry) {
    const char* path = archive_entry_pathname(entry);
    if (path == nullptr || *path == '\0') {
        return "empty path";
    }
    if (!staysBeneath(path)) {
        return "path leaves the destination";
    }
    if (const char* target = archive_entry_hardlink(entry);
        target != nullptr && !staysBeneath(target)) {
        return "hard link target leaves the destination";
    }
    switch (archive_entry_filetype(entry)) {
        case AE_IFREG:
        case AE_IFDIR:
        case AE_IFLNK:
            return nullptr;
        case AE_IFCHR:
        case AE_IFBLK:
            return "device node";
        case AE_IFIFO:
            return "named pipe";
        case AE_IFSOCK:
            return "socket";
        default:
            // A hard link carries no type of its own in some archives.
            return archive_entry_hardlink(entry) != nullptr ? nullptr : "unknown file type";
    }
}

// The prefix handed to the disk writer: the destination with the folders that already exist
// resolved to their real location. The writer's symbolic-link check inspects every component
// of the path, and a destination reached through a link (such as a temporary folder that is a
// link) must not make it refuse every member; only what lies below the destination is judged.
std::string writerPrefixFor(const char* destinationPrefix) {
    if (destinationPrefix == nullptr) {
        return {};
    }
    const std::string_view prefix(destinationPrefix);
    const std::size_t lastSlash = prefix.rfind('/');
    if (lastSlash == std::string_view::npos) {
        return std::string(prefix);
    }
    std::error_code error;
    std::string folder =
        std::filesystem::weakly_canonical(prefix.substr(0, lastSlash + 1), error).string();
    if (error || folder.empty()) {
        return std::string(prefix);
    }
    if (folder.back() != '/') {
        folder += '/';
    }
    return folder.append(prefix.substr(lastSlash + 1));
}

// How many folders below the unit root the destination lies, or nothing when it lies outside.
Platform::TreeWriter::Times timesOf(struct archive_entry* entry) {
    Platform::TreeWriter::Times times;
    if (archive_entry_atime_is_set(entry) != 0) {
        times.access = {archive_entry_atime(entry), archive_entry_atime_nsec(entry)};
    }
    if (archive_entry_mtime_is_set(entry) != 0) {
        times.modification = {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)};
    }
    return times;
}

std::optional<std::size_t> depthBelow(const std::string& unitRoot,
                                      const std::string& writerPrefix) {
    std::error_code error;
    const std::filesystem::path root = std::filesystem::weakly_canonical(unitRoot, error);
    if (error) {
        return std::nullopt;
    }
    const std::string folder = writerPrefix.substr(0, writerPrefix.rfind('/') + 1);
    const std::filesystem::path relative = std::filesystem::path(folder).lexically_relative(root);
    if (relative.empty() || *relative.begin() == "..") {
        return std::nullopt;
    }
    return componentCount(relative.string());
}

}  // namespace

ArchiveManager::ArchiveManager(std::istream& stream, std::int64_t startOffset, std::uint64_t size)
    : sourceStream_(&stream), startOffset_(startOffset), totalSize_(size) {}

std::uint32_t ArchiveManager::extract(bool computeCrc, const char* destinationPrefix,
                                      ProgressCallback progress, EntryCallback entryStarted,
                                      EntryCallback entryFinished, void* context) {
    computeCrc_ = computeCrc;
    runningCrc_ = computeCrc ? crcCalculator_.startValue(CRC32::packageSeed) : 0;
    progress_ = progress;
    entryStarted_ = entryStarted;
    entryFinished_ = entryFinished;
    context_ = context;
    remaining_ = 0;
    inputEnded_ = false;
    status_ = ArchiveStatus::clean;
    readBuffer_.resize(readBufferSize);

    const std::string writerPrefix = writerPrefixFor(destinationPrefix);
    unitRoot_ = Platform::UnitRoot::prefix();
    // Links are judged only beneath a unit root that is not the host's own. A destination
    // outside the unit root (only ever a scratch folder) contains its links itself.
    destinationDepth_ = unitRoot_.empty() ? 0 : depthBelow(unitRoot_, writerPrefix).value_or(0);

    ArchiveEventQueue queue;
    std::thread reading([this, &queue] { readArchive(queue); });
    writeMembers(queue, destinationPrefix, writerPrefix);
    reading.join();
    return computeCrc ? runningCrc_ : 0;
}

// ---- The reading side ----

void ArchiveManager::readArchive(ArchiveEventQueue& queue) {
    queue_ = &queue;
    reader_ = archive_read_new();
    if (reader_ == nullptr) {
        notice("ArchiveManager: cannot create the libarchive reader\n", ArchiveStatus::writeFailed);
    } else {
        archive_read_support_format_tar(reader_);
        archive_read_support_filter_gzip(reader_);
        if (archive_read_open(reader_, this, ReadOpenCallback, ReadCallback, ReadCloseCallback) !=
            ARCHIVE_OK) {
            // Opening already decompresses the start to recognise the format; damage found there
            // is reported with the same line as damage found in a later header.
            noticeReadFailure("archive_read_next_header()", nullptr);
        } else {
            readMembers();
        }
        archive_read_close(reader_);
        archive_read_free(reader_);
        reader_ = nullptr;
    }
    queue.push(ArchiveEvent{.kind = ArchiveEvent::Kind::end});
    queue_ = nullptr;
}

void ArchiveManager::readMembers() {
    while (true) {
        struct archive_entry* entry = nullptr;
        const int result = archive_read_next_header(reader_, &entry);
        if (result == ARCHIVE_EOF) {
            readRemainingInput();
            return;
        }
        if (result != ARCHIVE_OK) {
            noticeReadFailure("archive_read_next_header()", nullptr);
            return;
        }
        const char* pathname = archive_entry_pathname(entry);
        const std::string storedPath = pathname != nullptr ? pathname : "";
        const char* refusal = refusalOf(entry);
        // Only a regular file's data is written; anything else's is skipped by the next header
        // read.
        const bool hasData = refusal == nullptr && archive_entry_hardlink(entry) == nullptr &&
                             archive_entry_filetype(entry) == AE_IFREG;
        queue_->push(ArchiveEvent{.kind = ArchiveEvent::Kind::member,
                                  .entry = OwnedEntry(archive_entry_clone(entry)),
                                  .refusal = refusal});
        if (hasData && !readMemberData(storedPath)) {
            return;
        }
    }
}

bool ArchiveManager::readMemberData(const std::string& storedPath) {
    while (true) {
        const void* block = nullptr;
        std::size_t size = 0;
        la_int64_t offset = 0;
        const int result = archive_read_data_block(reader_, &block, &size, &offset);
        if (result == ARCHIVE_EOF) {
            queue_->push(ArchiveEvent{.kind = ArchiveEvent::Kind::memberEnd});
            return true;
        }
        if (result != ARCHIVE_OK) {
            noticeReadFailure("archive_read_data_block()", storedPath.c_str());
            queue_->push(ArchiveEvent{.kind = ArchiveEvent::Kind::memberEnd, .complete = false});
            return result != ARCHIVE_FATAL;
        }
        const auto* bytes = static_cast<const char*>(block);
        queue_->push(ArchiveEvent{.kind = ArchiveEvent::Kind::data,
                                  .bytes = std::vector<char>(bytes, bytes + size),
                                  .offset = offset});
    }
}

// libarchive stops reading at the end-of-archive blocks. Reading the rest of the range makes the
// CRC cover every declared byte and shows a stream that is shorter than declared.
void ArchiveManager::readRemainingInput() {
    const void* block = nullptr;
    while (readNextBlock(reader_, &block) > 0) {
    }
}

const char* ArchiveManager::refusalOf(struct archive_entry* entry) {
    const char* reason = refusalReason(entry);
    if (reason == nullptr && archive_entry_filetype(entry) == AE_IFLNK &&
        !placeLinkTarget(entry, archive_entry_pathname(entry))) {
        reason = "symbolic link leads out of the unit root";
    }
    return reason;
}

bool ArchiveManager::placeLinkTarget(struct archive_entry* entry,
                                     const std::string& storedPath) const {
    if (unitRoot_.empty()) {
        return true;  // the unit root is the host's root: there is no outside
    }
    const char* stored = archive_entry_symlink(entry);
    const std::string_view target = stored != nullptr ? stored : "";
    if (target.starts_with('/')) {
        // A unit path, which lies beneath the unit root like every other.
        if (!linkStaysInside(target, 0)) {
            return false;
        }
        archive_entry_set_symlink(entry, (unitRoot_ + std::string(target)).c_str());
        return true;
    }
    const std::size_t slash = storedPath.rfind('/');
    const std::size_t linkDepth =
        destinationDepth_ + (slash == std::string::npos
                                 ? 0
                                 : componentCount(std::string_view(storedPath).substr(0, slash)));
    return linkStaysInside(target, linkDepth);
}

// One line: the libarchive call, the member's stored path when there is one, the error.
void ArchiveManager::noticeReadFailure(const char* operation, const char* storedPath) {
    std::string text = operation;
    if (storedPath != nullptr) {
        text.append(" ").append(storedPath);
    }
    text.append(" - ").append(errorText(reader_)).append("\n");
    notice(std::move(text),
           inputEnded_ ? ArchiveStatus::inputTruncated : ArchiveStatus::corruptArchive);
}

void ArchiveManager::notice(std::string text, ArchiveStatus failure) {
    queue_->push(ArchiveEvent{
        .kind = ArchiveEvent::Kind::notice, .text = std::move(text), .failure = failure});
}

la_ssize_t ArchiveManager::readNextBlock(struct archive* archive, const void** buffer) {
    if (inputEnded_) {
        archive_set_error(archive, EIO, "archive input ended before its declared size");
        return ARCHIVE_FATAL;
    }
    const auto wanted =
        static_cast<std::streamsize>(std::min<std::uint64_t>(remaining_, readBuffer_.size()));
    std::streamsize received = 0;
    if (wanted > 0) {
        sourceStream_->read(readBuffer_.data(), wanted);
        received = sourceStream_->gcount();
    }
    if (received < wanted) {
        inputEnded_ = true;
        const std::uint64_t delivered =
            totalSize_ - remaining_ + static_cast<std::uint64_t>(received);
        notice("ArchiveManager: input ended after " + std::to_string(delivered) + " of " +
                   std::to_string(totalSize_) + " archive bytes\n",
               ArchiveStatus::inputTruncated);
        if (received == 0) {
            archive_set_error(archive, EIO, "archive input ended before its declared size");
            return ARCHIVE_FATAL;
        }
    }
    const auto count = static_cast<std::size_t>(received);
    if (computeCrc_) {
        runningCrc_ = crcCalculator_.update(runningCrc_, readBuffer_.data(), count);
    }
    if (dataObserver_) {
        dataObserver_(std::span<const char>(readBuffer_.data(), count));
    }
    remaining_ -= count;
    queue_->push(ArchiveEvent{.kind = ArchiveEvent::Kind::read, .done = totalSize_ - remaining_});
    *buffer = readBuffer_.data();
    return received;
}

// ---- The writing side ----

void ArchiveManager::writeMembers(ArchiveEventQueue& queue, const char* destinationPrefix,
                                  const std::string& writerPrefix) {
    // The writer works in the folder the prefix names up to its last slash; what follows that
    // slash begins the name of every member.
    const std::size_t lastSlash = writerPrefix.rfind('/');
    const std::size_t folderEnd = lastSlash == std::string::npos ? 0 : lastSlash + 1;
    Platform::TreeWriter writer(writerPrefix.substr(0, folderEnd));
    destinationPrefix_ = destinationPrefix;
    nameStart_ = writerPrefix.substr(folderEnd);
    fileOpen_ = false;
    while (true) {
        ArchiveEvent event = queue.pop();
        switch (event.kind) {
            case ArchiveEvent::Kind::read:
                if (progress_ != nullptr) {
                    progress_(static_cast<std::uint32_t>(totalSize_),
                              static_cast<std::uint32_t>(event.done), context_);
                }
                break;
            case ArchiveEvent::Kind::notice:
                Console::print(event.text);
                noteFailure(event.failure);
                break;
            case ArchiveEvent::Kind::member:
                startMember(event, writer);
                break;
            case ArchiveEvent::Kind::data:
                writeMemberData(event, writer);
                break;
            case ArchiveEvent::Kind::memberEnd:
                endMember(event, writer);
                break;
            case ArchiveEvent::Kind::end:
                member_.reset();
                if (writer.finish() != Platform::TreeWriter::Outcome::done) {
                    Console::printf("Cannot restore the times of the extracted folders - %s\n",
                                    std::strerror(writer.error()));
                    noteFailure(ArchiveStatus::writeFailed);
                }
                return;
        }
    }
}

void ArchiveManager::startMember(ArchiveEvent& event, Platform::TreeWriter& writer) {
    using Outcome = Platform::TreeWriter::Outcome;
    member_ = std::move(event.entry);
    struct archive_entry* entry = member_.get();
    const char* pathname = archive_entry_pathname(entry);
    memberPath_ = pathname != nullptr ? pathname : "";
    fileOpen_ = false;
    if (entryStarted_ != nullptr) {
        entryStarted_(memberPath_.c_str(), context_);
    }
    if (event.refusal != nullptr) {
        Console::printf("Refused archive member %s - %s\n", memberPath_.c_str(), event.refusal);
        noteFailure(ArchiveStatus::refusedMember);
        return;
    }
    const std::string relativePath = nameStart_ + memberPath_;
    const Platform::TreeWriter::Times times = timesOf(entry);
    const mode_t mode = archive_entry_perm(entry);
    Outcome outcome = Outcome::done;
    if (const char* linked = archive_entry_hardlink(entry); linked != nullptr) {
        outcome = writer.makeHardLink(relativePath, nameStart_ + linked);
    } else if (archive_entry_filetype(entry) == AE_IFDIR) {
        outcome = writer.makeFolder(relativePath, mode, times);
    } else if (archive_entry_filetype(entry) == AE_IFLNK) {
        const char* target = archive_entry_symlink(entry);
        outcome = writer.makeSymbolicLink(relativePath, target != nullptr ? target : "", times);
    } else {
        // Its data and its end follow.
        outcome = writer.openFile(relativePath, mode);
        fileOpen_ = outcome == Outcome::done;
    }
    if (outcome != Outcome::done) {
        noteWriterOutcome(outcome, "create", writer);
    } else if (!fileOpen_) {
        memberWritten();
    }
}

void ArchiveManager::writeMemberData(const ArchiveEvent& event, Platform::TreeWriter& writer) {
    if (!fileOpen_) {
        return;  // the member failed earlier; the rest of its data is dropped
    }
    const Platform::TreeWriter::Outcome outcome =
        writer.writeFile(event.bytes.data(), event.bytes.size(), event.offset);
    if (outcome != Platform::TreeWriter::Outcome::done) {
        noteWriterOutcome(outcome, "write", writer);
        writer.abandonFile();
        fileOpen_ = false;
    }
}

void ArchiveManager::endMember(const ArchiveEvent& event, Platform::TreeWriter& writer) {
    if (!fileOpen_) {
        return;
    }
    fileOpen_ = false;
    if (!event.complete) {
        writer.abandonFile();
        return;
    }
    const Platform::TreeWriter::Outcome outcome =
        writer.closeFile(archive_entry_size(member_.get()), timesOf(member_.get()));
    if (outcome != Platform::TreeWriter::Outcome::done) {
        noteWriterOutcome(outcome, "finish", writer);
        return;
    }
    memberWritten();
}

void ArchiveManager::memberWritten() {
    if (entryFinished_ != nullptr) {
        const std::string finishedPath =
            destinationPrefix_ != nullptr ? destinationPrefix_ + memberPath_ : memberPath_;
        entryFinished_(finishedPath.c_str(), context_);
    }
}

void ArchiveManager::noteFailure(ArchiveStatus failure) {
    if (status_ == ArchiveStatus::clean) {
        status_ = failure;
    }
}

void ArchiveManager::noteWriterOutcome(Platform::TreeWriter::Outcome outcome, const char* step,
                                       const Platform::TreeWriter& writer) {
    if (outcome == Platform::TreeWriter::Outcome::throughLink) {
        Console::printf("Refused archive member %s - a folder on its way is a symbolic link\n",
                        memberPath_.c_str());
        noteFailure(ArchiveStatus::refusedMember);
        return;
    }
    Console::printf("Cannot %s archive member %s - %s\n", step, memberPath_.c_str(),
                    std::strerror(writer.error()));
    noteFailure(ArchiveStatus::writeFailed);
}

int ArchiveManager::ReadOpenCallback(struct archive* archive, void* client) {
    auto* manager = static_cast<ArchiveManager*>(client);
    // The position is absolute, so whatever an earlier reader left in the stream's state
    // does not matter; the full 64-bit offset reaches components past 2 GiB.
    manager->sourceStream_->clear();
    manager->sourceStream_->seekg(static_cast<std::streamoff>(manager->startOffset_),
                                  std::ios::beg);
    manager->remaining_ = manager->totalSize_;
    if (manager->sourceStream_->fail()) {
        // Noted as a short input by the failure report of the open.
        manager->inputEnded_ = true;
        archive_set_error(archive, EIO, "cannot seek the archive input to byte %lld",
                          static_cast<long long>(manager->startOffset_));
        return ARCHIVE_FATAL;
    }
    return ARCHIVE_OK;
}

la_ssize_t ArchiveManager::ReadCallback(struct archive* archive, void* client,
                                        const void** buffer) {
    return static_cast<ArchiveManager*>(client)->readNextBlock(archive, buffer);
}

int ArchiveManager::ReadCloseCallback(struct archive* /*archive*/, void* /*client*/) {
    return ARCHIVE_OK;
}

}  // namespace CoreSystem
