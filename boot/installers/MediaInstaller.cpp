#include "boot/installers/MediaInstaller.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "CoreSystem/Utilities.h"

namespace Boot {
namespace {

// The image is streamed through one buffer of this size, whatever its own size.
constexpr std::uint64_t chunkSize = std::uint64_t{1} << 20;

// Copies the entry's bytes from the package into the open file; false when the package cannot
// deliver them all or the disk refuses them.
bool copyImage(const ComponentEntry& entry, std::istream& stream, int handle) {
    if (entry.offset > static_cast<std::uint64_t>(std::numeric_limits<std::streamoff>::max())) {
        return false;
    }
    stream.clear();
    if (!stream.seekg(static_cast<std::streamoff>(entry.offset))) {
        return false;
    }
    std::vector<char> chunk(static_cast<std::size_t>(std::min(entry.size, chunkSize)));
    for (std::uint64_t remaining = entry.size; remaining > 0;) {
        const auto wanted = static_cast<std::size_t>(std::min(remaining, chunkSize));
        stream.read(chunk.data(), static_cast<std::streamsize>(wanted));
        if (static_cast<std::size_t>(stream.gcount()) != wanted ||
            !CoreSystem::Utilities::writeAll(handle, chunk.data(), wanted)) {
            return false;
        }
        remaining -= wanted;
    }
    return true;
}

// Writes the image to a new file with mode 0777 and syncs it. A file that could not be written
// in full is removed again, so that no truncated image is taken for a whole one.
bool writeImage(const std::string& path, const ComponentEntry& entry, std::istream& stream) {
    // The old image was removed just before: a link still found here would only lead elsewhere.
    const int handle = open(path.c_str(),  // NOLINT(cppcoreguidelines-pro-type-vararg)
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0777);
    if (handle < 0) {
        return false;
    }
    fchmod(handle, 0777);  // the process's umask must not narrow the mode
    const bool written = copyImage(entry, stream, handle) && fsync(handle) == 0;
    const bool closed = close(handle) == 0;
    if (!written || !closed) {
        CoreSystem::Utilities::removeFileSynced(path);
        return false;
    }
    return true;
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
    if (!writeImage(mediaImage, entry, stream)) {
        installLog.line("MEDIA: Error: " + mediaImage + " could not be written");
        return InstallStatus::failure;
    }

    installLog.line("-- Media Update Complete --");
    return InstallStatus::success;
}

}  // namespace Boot
