#include "tools/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

namespace Packaging {

OutputFile::OutputFile(std::string path, int handle) : path_(std::move(path)), handle_(handle) {
    error_ = handle < 0 ? errno : 0;
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)),
      handle_(std::exchange(other.handle_, -1)),
      error_(other.error_) {}

OutputFile::~OutputFile() {
    if (handle_ >= 0) {
        ::close(handle_);
    }
}

OutputFile OutputFile::createNew(const std::string& path, mode_t mode) {
    return {path, ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode)};
}

OutputFile OutputFile::createUnique(const std::string& prefix) {
    std::string path = prefix + "XXXXXX";
    const int handle = ::mkostemp(path.data(), O_CLOEXEC);
    return {path, handle};
}

OutputFile OutputFile::openForAppending(const std::string& path) {
    return {path, ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC)};
}

bool OutputFile::succeeded(bool result) {
    if (!result && error_ == 0) {
        error_ = errno;
    }
    return result;
}

bool OutputFile::setMode(mode_t mode) {
    return isOpen() && succeeded(::fchmod(handle_, mode) == 0);
}

bool OutputFile::write(std::span<const char> bytes) {
    if (!isOpen()) {
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(handle_, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            // A write of nothing sets no errno.
            errno = count == 0 ? EIO : errno;
            return succeeded(false);
        }
        done += static_cast<std::size_t>(count);
    }
    return true;
}

bool OutputFile::write(std::span<const std::uint8_t> bytes) {
    return write(std::span<const char>(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool OutputFile::sync() {
    return isOpen() && succeeded(::fsync(handle_) == 0);
}

bool OutputFile::close() {
    if (!isOpen()) {
        return false;
    }
    return succeeded(::close(std::exchange(handle_, -1)) == 0);
}

std::string OutputFile::problem() const {
    return std::strerror(error_ != 0 ? error_ : EIO);
}

bool OutputFile::syncFolderOf(const std::string& path) {
    const std::string folder = std::filesystem::path(path).parent_path().string();
    const int handle =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle < 0) {
        return false;
    }
    const bool synced = ::fsync(handle) == 0;
    ::close(handle);
    return synced;
}

}  // namespace Packaging
