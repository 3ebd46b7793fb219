#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace BenchSupport {

// A fresh folder for every file of one benchmark run, removed with everything in it at the end.
class WorkFolder {
public:
    // The folder is `prefix` ("/tmp/NAME") with a unique ending.
    explicit WorkFolder(const std::string& prefix) {
        std::string pattern = prefix + "-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;
    WorkFolder(WorkFolder&&) = delete;
    WorkFolder& operator=(WorkFolder&&) = delete;
    ~WorkFolder() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }

    // Empty when the folder could not be made.
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace BenchSupport
