#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <sys/resource.h>

#include <csignal>
#include <cstddef>
#include <string>
#include <vector>

// Archives for tests, written in memory with libarchive's writer.
namespace TestSupport {

struct Member {
    std::string path{};
    unsigned type = AE_IFREG;
    std::string contents{};
    std::string symlinkTarget{};
    std::string hardlinkTarget{};
    unsigned mode = 0;  // permission bits; 0 gives 0755 for folders and 0644 for the rest
};

// An uncompressed tar (pax) archive of the members.
std::string tarBytes(const std::vector<Member>& members);
// `raw` compressed with gzip, without padding after the gzip stream.
std::string gzipBytes(const std::string& raw);
// A gzip-compressed tar archive of the members.
std::string tarGz(const std::vector<Member>& members);
// The same pseudo-random bytes every run.
std::string randomBytes(std::size_t count);

// Lowers this process's file size limit while it lives, which stops writes as a full disk would
// (write fails with EFBIG while the signal is ignored); permissions would not stop root.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes);
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    FileSizeLimit(FileSizeLimit&&) = delete;
    FileSizeLimit& operator=(FileSizeLimit&&) = delete;
    ~FileSizeLimit();

private:
    void (*previousHandler_)(int);
    rlimit previous_{};
};

}  // namespace TestSupport
