#include "boot/installers/MediaInstaller.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <vector>

#include "CoreSystem/Utilities.h"
#include "boot/ComponentDataReader.h"
#include "platform/FileSync.h"

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
CopyResult copyImage(const ComponentEntry& entry, std::istream& stream, int handle) {
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
        const bool written = CoreSystem::Utilities::writeAll(handle, piece.data(), count);
        notWrittenBack += count;
        count = nextCount.get();
        if (!written) {
            return CopyResult::writeFailed;
        }
        if (notWrittenBack >= writebackWindow) {
            Platform::FileSync::startWriteback(handle);
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
    const int handle = open(path.c_str(),  // NOLINT(cppcoreguidelines-pro-type-vararg)
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0777);
    if (handle < 0) {
        return CopyResult::writeFailed;
    }
    fchmod(handle, 0777);  // the process's umask must not narrow the mode
    CopyResult result = copyImage(entry, stream, handle);
    if (result == CopyResult::written && fsync(handle) != 0) {
        result = CopyResult::writeFailed;
    }
    if (close(handle) != 0 && result == CopyResult::written) {
        result = CopyResult::writeFailed;
    }
    if (result != CopyResult::written) {
        CoreSystem::Utilities::removeFileSynced(path);
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
    Utilities::removeFileSynced(mediaImage);

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
