#include "platform/LocalNames.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/UnitRoot.h"

namespace Platform {
namespace {

// Names vanish with the process, as on the unit: the entries are removed at normal exit.
class AttachedNames {
public:
    AttachedNames() = default;
    AttachedNames(const AttachedNames&) = delete;
    AttachedNames& operator=(const AttachedNames&) = delete;
    AttachedNames(AttachedNames&&) = delete;
    AttachedNames& operator=(AttachedNames&&) = delete;
    ~AttachedNames() {
        for (const std::string& path : paths_) {
            std::remove(path.c_str());
        }
    }
    void add(const std::string& path) {
        const std::lock_guard lock(mutex_);
        paths_.push_back(path);
    }

private:
    std::mutex mutex_;
    std::vector<std::string> paths_;
};

AttachedNames& attachedNames() {
    static AttachedNames names;
    return names;
}

}  // namespace

std::string LocalNames::hostPathOf(const std::string& name) {
    return UnitRoot::hostPath("/dev/name/local/" + name);
}

bool LocalNames::attach(const std::string& name) {
    const std::string path = hostPathOf(name);
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    std::fprintf(file, "%d\n", static_cast<int>(getpid()));
    const bool written = std::fclose(file) == 0;
    attachedNames().add(path);
    return written;
}

}  // namespace Platform
