#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

// What the file-based fuzz targets share: one scratch folder under /tmp per run, removed at
// exit, and writing an input into it.
namespace FuzzSupport {

inline std::string& workFolder() {
    static std::string folder;
    return folder;
}

// Makes the scratch folder (`name` goes into its name) and arranges its removal at exit.
inline void makeWorkFolder(const std::string& name) {
    std::string pattern = "/tmp/" + name + "-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    workFolder() = pattern;
    std::atexit([] {
        std::error_code error;
        std::filesystem::remove_all(workFolder(), error);
    });
}

inline void writeFile(const std::string& path, const void* data, std::size_t size) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace FuzzSupport
