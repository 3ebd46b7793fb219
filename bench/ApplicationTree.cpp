#include "ApplicationTree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "BenchSupport.h"

namespace BenchSupport {
namespace {

// Folders on each level below the top: 12 + 12 * 6 + 12 * 6 * 6 = 516 in all.
constexpr std::uint64_t topFolders = 12;
constexpr std::uint64_t subfolders = 6;

constexpr std::uint64_t smallestFile = 16;
constexpr std::uint64_t largestSmallFile = std::uint64_t{16} * 1024;
constexpr std::uint64_t largestFile = std::uint64_t{2} << 20U;
// Out of 1000 entries: symbolic links (as beside shared libraries), empty files, large files.
constexpr std::uint64_t linksPerMille = 10;
constexpr std::uint64_t emptyPerMille = 20;
constexpr std::uint64_t largePerMille = 1;

std::vector<std::string> makeFolders(const std::string& path) {
    std::vector<std::string> folders = {path};
    for (std::uint64_t top = 0; top < topFolders; ++top) {
        const std::string module = path + "/module-" + std::to_string(top);
        folders.push_back(module);
        for (std::uint64_t middle = 0; middle < subfolders; ++middle) {
            const std::string part = module + "/part-" + std::to_string(middle);
            folders.push_back(part);
            for (std::uint64_t bottom = 0; bottom < subfolders; ++bottom) {
                folders.push_back(part + "/set-" + std::to_string(bottom));
            }
        }
    }
    return folders;
}

bool writeFile(const std::string& path, const std::vector<char>& content, std::uint64_t size,
               mode_t mode) {
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (file < 0) {
        return false;
    }
    const bool written =
        size == 0 || write(file, content.data(), size) == static_cast<ssize_t>(size);
    return close(file) == 0 && written;
}

}  // namespace

std::optional<ApplicationTree> writeApplicationTree(const std::string& path, std::uint64_t entries,
                                                    std::string& error) {
    const auto failed = [&](const std::string& where) -> std::optional<ApplicationTree> {
        error = where + ": " + std::strerror(errno);
        return std::nullopt;
    };
    const std::vector<std::string> folders = makeFolders(path);
    for (const std::string& folder : folders) {
        if (mkdir(folder.c_str(), 0755) != 0) {
            return failed(folder);
        }
    }
    SplitMix64 random(0xA4093822299F31D0);
    // File contents are slices of one buffer: what they hold does not matter to a removal.
    std::vector<char> content(largestFile);
    for (char& byte : content) {
        byte = static_cast<char>(random.next());
    }

    ApplicationTree tree{.folders = folders.size()};
    for (std::uint64_t entry = 0; entry < entries; ++entry) {
        const std::string& folder = folders.at(random.next() % folders.size());
        const std::string name = folder + "/file-" + std::to_string(entry);
        const std::uint64_t kind = random.next() % 1000;
        if (kind < linksPerMille) {
            // Points at the entry made before it, wherever that one lies.
            if (symlink(("file-" + std::to_string(entry - 1)).c_str(), name.c_str()) != 0) {
                return failed(name);
            }
            ++tree.links;
            continue;
        }
        std::uint64_t size = 0;
        if (kind < linksPerMille + largePerMille) {
            size = logUniform(random, largestSmallFile * 4, largestFile);
        } else if (kind >= linksPerMille + largePerMille + emptyPerMille) {
            size = logUniform(random, smallestFile, largestSmallFile);
        }
        if (!writeFile(name, content, size, (kind & 1U) != 0 ? 0755 : 0644)) {
            return failed(name);
        }
        ++tree.files;
        tree.contentBytes += size;
    }
    return tree;
}

}  // namespace BenchSupport
