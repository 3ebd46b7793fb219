#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>

namespace Packaging {

// A file that the packaging tool writes through a descriptor of its own, which is closed when
// the object goes. Each step reports failure; problem() then says why.
class OutputFile {
public:
    // Creates `path` with `mode` as reduced by the umask, failing when anything is there already.
    static OutputFile createNew(const std::string& path, mode_t mode);
    // Creates a new file named `prefix` followed by six characters that make the name unique.
    static OutputFile createUnique(const std::string& prefix);
    // Opens an existing file to append to it.
    static OutputFile openForAppending(const std::string& path);

    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    ~OutputFile();

    bool isOpen() const { return handle_ >= 0; }
    const std::string& path() const { return path_; }
    bool setMode(mode_t mode);
    // Writes every byte, going on after partial writes and interruptions.
    bool write(std::span<const char> bytes);
    bool write(std::span<const std::uint8_t> bytes);
    bool sync();
    bool close();
    // The system's reason for the last failure.
    std::string problem() const;

    // Syncs the folder holding `path`, so that a name just given in it is on storage too.
    static bool syncFolderOf(const std::string& path);

private:
    OutputFile(std::string path, int handle);
    bool succeeded(bool result);

    std::string path_;
    int handle_ = -1;
    int error_ = 0;
};

}  // namespace Packaging
