#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "platform/FileSync.h"

namespace Platform {
namespace {

int linkFlag(File::Links links) {
    return links == File::Links::refused ? O_NOFOLLOW : 0;
}

}  // namespace

File::File(File&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), openError_(other.openError_) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        static_cast<void>(close());
        descriptor_ = std::exchange(other.descriptor_, -1);
        openError_ = other.openError_;
    }
    return *this;
}

File::~File() {
    static_cast<void>(close());
}

File File::openWithFlags(const std::string& hostPath, int flags, unsigned permissions) {
    const int descriptor = ::open(hostPath.c_str(), flags | O_CLOEXEC, permissions);
    return {descriptor, descriptor < 0 ? errno : 0};
}

File File::openForReading(const std::string& hostPath, Links links) {
    return openWithFlags(hostPath, O_RDONLY | O_NONBLOCK | O_NOCTTY | linkFlag(links), 0);
}

File File::openForWriting(const std::string& hostPath, Existing existing, Links links,
                          unsigned permissions) {
    const int existingFlag = existing == Existing::truncated ? O_TRUNC : O_EXCL;
    return openWithFlags(hostPath, O_WRONLY | O_CREAT | existingFlag | linkFlag(links),
                         permissions);
}

File File::createUnique(std::string& path) {
    const int descriptor = ::mkostemp(path.data(), O_CLOEXEC);
    return {descriptor, descriptor < 0 ? errno : 0};
}

bool File::openRefusedLink() const {
    return openError_ == ELOOP;
}

long File::read(void* buffer, std::size_t size) {
    return static_cast<long>(::read(descriptor_, buffer, size));
}

bool File::writeAll(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t count = ::write(descriptor_, bytes, size);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        bytes += count;
        size -= static_cast<std::size_t>(count);
    }
    return true;
}

bool File::setPermissions(unsigned permissions) {
    return fchmod(descriptor_, permissions) == 0;
}

void File::startWriteback() {
    FileSync::startWriteback(descriptor_);
}

bool File::sync() {
    return fsync(descriptor_) == 0;
}

bool File::close() {
    if (descriptor_ < 0) {
        return true;
    }
    return ::close(std::exchange(descriptor_, -1)) == 0;
}

}  // namespace Platform
