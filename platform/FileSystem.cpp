#include "platform/FileSystem.h"

#include <dirent.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace Platform {
namespace {

FileSystem::EntryKind kindOf(mode_t mode) {
    if (S_ISREG(mode)) {
        return FileSystem::EntryKind::regularFile;
    }
    if (S_ISDIR(mode)) {
        return FileSystem::EntryKind::directory;
    }
    if (S_ISLNK(mode)) {
        return FileSystem::EntryKind::symbolicLink;
    }
    return FileSystem::EntryKind::other;
}

FileSystem::EntryStatus statusOf(int result, const struct stat& status) {
    if (result != 0) {
        return {.error = errno};
    }
    return {.kind = kindOf(status.st_mode), .size = status.st_size};
}

// Releases what scandir allocated with malloc.
struct Freed {
    void operator()(void* pointer) const { std::free(pointer); }
};

}  // namespace

bool FileSystem::EntryStatus::missing() const {
    return error == ENOENT;
}

FileSystem::EntryStatus FileSystem::status(const std::string& hostPath) {
    struct stat status {};
    const int result = stat(hostPath.c_str(), &status);
    return statusOf(result, status);
}

FileSystem::EntryStatus FileSystem::linkStatus(const std::string& hostPath) {
    struct stat status {};
    const int result = lstat(hostPath.c_str(), &status);
    return statusOf(result, status);
}

bool FileSystem::exists(const std::string& hostPath) {
    return access(hostPath.c_str(), F_OK) == 0;
}

bool FileSystem::isWritable(const std::string& hostPath) {
    return access(hostPath.c_str(), W_OK) == 0;
}

bool FileSystem::changeMode(const std::string& hostPath, unsigned mode) {
    return chmod(hostPath.c_str(), mode) == 0;
}

bool FileSystem::makeDirectory(const std::string& hostPath, unsigned mode) {
    return mkdir(hostPath.c_str(), mode) == 0;
}

bool FileSystem::removeFile(const std::string& hostPath) {
    return unlink(hostPath.c_str()) == 0;
}

std::optional<std::vector<std::string>> FileSystem::listDirectory(const std::string& hostPath) {
    dirent** entries = nullptr;
    const int count = scandir(hostPath.c_str(), &entries, nullptr, nullptr);
    if (count < 0) {
        return std::nullopt;
    }
    const std::unique_ptr<dirent*, Freed> list(entries);
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(count));
    for (int index = 0; index < count; ++index) {
        const std::unique_ptr<dirent, Freed> entry(entries[index]);
        names.emplace_back(entry->d_name);
    }
    return names;
}

std::string FileSystem::baseName(const std::string& path) {
    std::string copy = path;
    const char* name = basename(copy.data());
    return name != nullptr ? name : "";
}

std::string FileSystem::directoryName(const std::string& path) {
    std::string copy = path;
    const char* name = dirname(copy.data());
    return name != nullptr ? name : "";
}

}  // namespace Platform
