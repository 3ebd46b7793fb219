#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace BenchSupport {

struct ApplicationTree {
    std::uint64_t folders = 0;
    std::uint64_t files = 0;
    std::uint64_t links = 0;
    std::uint64_t contentBytes = 0;
};

// Makes the folder `path` (its parent must exist) holding an application tree as an install
// leaves it on the unit: `entries` files and symbolic links spread over three levels of nested
// folders, most files a few kilobytes or less, some empty and a few of up to 2 MiB. The same tree
// on every run. On failure returns nothing with a one-line `error`.
std::optional<ApplicationTree> writeApplicationTree(const std::string& path, std::uint64_t entries,
                                                    std::string& error);

}  // namespace BenchSupport
