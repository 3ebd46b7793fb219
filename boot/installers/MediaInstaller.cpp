#include "boot/installers/MediaInstaller.h"

#include <algorithm>
#include <future>
#include <vector>

#include "CoreSystem/Utilities.h"
#include "boot/ComponentDataReader.h"
#include "platform/File.h"

namespace Boot {
namespace {

// The image is streamed through one buffer of this size, whatever its own size.
constexpr std::uint64_t chunkSize = std::uint64_t{1} << 20;
// Writing back to storage starts whenever this much more of the image has been written, so that
// the flash is busy while the rest is still read and checked, and the final fsync finds little
// left to write.
constexpr std::uint64_t writebackWindow = std::uint64_t{8} << 20;

enum class CopyResult { written, dataChanged, writeFailed };

// Copies the entry's bytes from the package into the open file, checking them against the entry's
// CRC on the way. The next piece is read and checked while the last one is written, so that the
// copy costs about as long as the slower of the two.
CopyResult copyImage(const ComponentEntry& entry, std::istream& stream, Platform::File& file) {
    ComponentDataReader reader(entry, stream);
    const auto pieceSize = static_cast<std::size_t>(std::min(entry.size, chunkSize));
    std::vector<char> piece(pieceSize);
    std::vector<char> nextPiece(pieceSize);
    std::uint64_t notWrittenBack = 0;
    std::size_t count = reader.read(piece.data(), piece.size());
    while (count > 0) {
        std::future<std::size_t> nextCount = std::async(std::launch::async, [&reader, &nextPiece] {
            return reader.read(nextPiece.data(), nextPiece.size());
        });
        const bool written = file.writeAll(piece.data(), count);
        notWrittenBack += count;
        count = nextCount.get();
        if (!written) {
            return CopyResult::writeFailed;
        }
        if (notWrittenBack >= writebackWindow) {
            file.startWriteback();
            notWrittenBack = 0;
        }
        piece.swap(nextPiece);
    }
    return reader.matchesEntry() ? CopyResult::written : CopyResult::dataChanged;
}

// Writes the image to a new file with mode 0777 and syncs it. A file that could not be written
// in full, or whose bytes were not those verified, is removed again, so that no truncated or
// unchecked image is taken for a whole one.
CopyResult writeImage(const std::string& path, const ComponentEntry& entry, std::istream& stream) {
    // The old image was removed just before: a link still found here would only lead elsewhere.
    Platform::File file = Platform::File::openForWriting(path, Platform::File::Existing::truncated,
                                                         Platform::File::Links::refused, 0777);
    if (!file.isOpen()) {
        return CopyResult::writeFailed;
    }
    // The process's umask must not narrow the mode. Should the file system refuse, the image is
    // still whole and readable by its owner, as the old one was written.
    static_cast<void>(file.setPermissions(0777));
    CopyResult result = copyImage(entry, stream, file);
    if (result == CopyResult::written && !file.sync()) {
        result = CopyResult::writeFailed;
    }
    if (!file.close() && result == CopyResult::written) {
        result = CopyResult::writeFailed;
    }
    // An image that cannot be removed again is found by its size or CRC being wrong when it is
    // used; the failure is reported either way.
    if (result != CopyResult::written) {
        static_cast<void>(CoreSystem::Utilities::removeFileSynced(path));
    }
    return result;
}

}  // namespace

InstallStatus MediaInstaller::install(const ComponentEntry& entry, std::istream& stream,
                                      InstallLog& installLog) {
    using CoreSystem::Utilities;
    reportAtStart("Begin Media Update");
    installLog.line("-- Begin Media Update --");

    const std::string mediaImage = Utilities::autoloadPath("media.ifs");
    installLog.line("MEDIA: Remove old media image");
    // There may be no old image; whatever stays in the way is written over, or refused below.
    static_cast<void>(Utilities::removeFileSynced(mediaImage));

    // No progress is reported while the image is copied.
    progressText = "Updating Media...";

    installLog.line("MEDIA: Write new media image");
    switch (writeImage(mediaImage, entry, stream)) {
        case CopyResult::written:
            break;
        case CopyResult::dataChanged:
            logDataChanged(installLog);
            return InstallStatus::failure;
        case CopyResult::writeFailed:
            installLog.line("MEDIA: Error: " + mediaImage + " could not be written");
            return InstallStatus::failure;
    }

    installLog.line("-- Media Update Complete --");
    return InstallStatus::success;
}

}  // namespace Boot
