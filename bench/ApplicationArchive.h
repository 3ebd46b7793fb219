#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace BenchSupport {

struct ApplicationArchive {
    std::uint64_t entries = 0;  // members of every kind: folders, files, links
    std::uint64_t files = 0;
    // Bytes of member data, the tar stream around them, and the gzip file on disk.
    std::uint64_t contentBytes = 0;
    std::uint64_t tarBytes = 0;
    std::uint64_t compressedBytes = 0;
};

// Writes to `path` a gzip-compressed tar of an application as it is shipped: a few folders under
// "app/" holding many files from 256 bytes to 2 MiB, about half of them text-like (gzip shrinks
// them to a third or so) and the rest incompressible, `contentBytes` bytes of member data in all.
// The same archive on every run. Streamed a piece at a time, so memory stays small whatever the
// size. On failure returns nothing with a one-line `error`.
std::optional<ApplicationArchive> writeApplicationArchive(const std::string& path,
                                                          std::uint64_t contentBytes,
                                                          std::string& error);

// Reads the gzip-compressed tar at `path` through to its end and counts what it holds. On failure
// returns nothing with a one-line `error`.
std::optional<ApplicationArchive> describeArchive(const std::string& path, std::string& error);

}  // namespace BenchSupport
