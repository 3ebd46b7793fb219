#pragma once

#include <cstddef>
#include <string>

namespace Platform {

// An open file. Move-only; the destructor closes it without looking at the result, which suits a
// file that was only read. A written file is closed with close(), whose result tells whether its
// data reached the file system.
class File {
public:
    // Whether a symbolic link at the path is followed or refused.
    enum class Links { followed, refused };
    // What happens to a file that is already at the path when one is opened for writing.
    enum class Existing { truncated, refused };

    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    ~File();

    // Opens the path for reading. The open never waits (a named pipe without a writer opens at
    // once) and never makes the file the controlling terminal.
    [[nodiscard]] static File openForReading(const std::string& hostPath, Links links);
    // Opens the path for writing, creating the file with `permissions` less the umask.
    [[nodiscard]] static File openForWriting(const std::string& hostPath, Existing existing,
                                             Links links, unsigned permissions);

    // Creates a new file, readable and writable by its owner alone, at `path`, whose last six
    // characters ("XXXXXX") the call replaces with characters that make the name unique.
    [[nodiscard]] static File createUnique(std::string& path);

    bool isOpen() const { return descriptor_ >= 0; }
    // Why the open failed: the errno value, 0 after a successful open.
    int openError() const { return openError_; }
    // The open failed because the path is a symbolic link and links were refused.
    bool openRefusedLink() const;

    // As read(2): the count read, or -1.
    [[nodiscard]] long read(void* buffer, std::size_t size);
    // Writes all `size` bytes, going on after partial writes and interruptions.
    [[nodiscard]] bool writeAll(const void* data, std::size_t size);
    // Sets the permission bits, whatever the umask.
    [[nodiscard]] bool setPermissions(unsigned permissions);
    // Starts writing the file's data to storage without waiting for it.
    void startWriteback();
    // Waits until the file's data and metadata are on storage (fsync).
    [[nodiscard]] bool sync();
    // False when the file system reported an error for the file's data.
    [[nodiscard]] bool close();

private:
    File(int descriptor, int openError) : descriptor_(descriptor), openError_(openError) {}
    static File openWithFlags(const std::string& hostPath, int flags, unsigned permissions);

    int descriptor_ = -1;
    int openError_ = 0;
};

}  // namespace Platform
