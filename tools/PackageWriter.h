#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/RsaPublicKey.h"

namespace Packaging {

// One component of a package to build: its data comes from a file.
struct ComponentSource {
    std::uint32_t type = 0;
    std::uint32_t version = 0;
    std::string path;
};

struct PackageDescription {
    std::uint32_t hardwareFamily = 0;
    // Written as given; the password and part-number texts are sealed whenever they are present.
    std::uint32_t flags = 0;
    std::optional<std::string> password;
    std::optional<std::string> partNumberLock;
    std::vector<ComponentSource> components;
};

// Builds a signed install package. Component data is streamed in fixed-size pieces, so a
// component of any size costs constant memory; the table and signature are written last.
class PackageWriter {
public:
    // Bytes of component data copied so far, and the total.
    using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

    // The unit reads component data through the low 32 bits of size and offset, so every
    // component must end within the first 4 GiB of the file.
    static constexpr std::uint64_t readableEnd = std::uint64_t{1} << 32U;

    // Writes the package to `outputPath`; on failure returns false with a one-line `error` and
    // removes the partial file.
    static bool write(const PackageDescription& description, const RsaPublicKey& key,
                      const std::string& outputPath, std::string& error,
                      const Progress& progress = {});
};

}  // namespace Packaging
