#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "boot/PackageSeal.h"

namespace Packaging {

// Seals install packages: appends a seal block, made with the private half of a seal key, over
// the SHA-256 of every byte before it. The package's components must lie back to back after the
// signature block, as kx1 pack lays them out. On the way, each component's data is checked
// against the CRC in the table, so that a package damaged since it was packed is not sealed.
class PackageSealer {
public:
    // Bytes hashed so far, and the total.
    using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

    struct Result {
        Boot::PackageSeal seal;
        // The seal a resealed package carried before.
        std::optional<Boot::PackageSeal> replaced;
        // The bytes the seal covers: the whole package before the seal block.
        std::uint64_t coveredBytes = 0;
    };

    // Seals a package that its writer has just made at `path` and that nobody else uses yet:
    // the header comes first in the file but is written last, so the hash is taken by reading
    // the package back, and the block is appended to it.
    static bool appendTo(const std::string& path, const Boot::PackageSeal::Key& key, Result& result,
                         std::string& error, const Progress& progress = {});

    // Seals an existing package without ever leaving a half-sealed one at its name: the package
    // is copied to a new file beside it, hashed in the same pass, the block appended, the file
    // synced and renamed over the package (a link's target is replaced, not the link). A package
    // that is already sealed is resealed: its block is replaced by the new one, over the same
    // bytes. Bytes after the data that are no well-formed seal block are refused.
    static bool sealInPlace(const std::string& path, const Boot::PackageSeal::Key& key,
                            Result& result, std::string& error, const Progress& progress = {});
};

}  // namespace Packaging
