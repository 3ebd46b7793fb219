// Feeds arbitrary bytes to the seal block's parser as what follows a package's last component.
// Read from a package stream they give the same status as parsed in memory; a block that parses
// encodes back to exactly the same bytes, and checking it against a key ends in a status, never
// in a signature that passes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "boot/PackageFormat.h"
#include "boot/PackageSeal.h"

namespace {

using Boot::PackageSeal;

const PackageSeal::Key& checkingKey() {
    static const PackageSeal::Key key = PackageSeal::Key::generate(PackageSeal::Algorithm::ed25519);
    return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    PackageSeal seal;
    const PackageSeal::Status status = PackageSeal::parse(bytes, seal);

    // The same bytes behind a package without components, whose data ends at its signature block.
    const std::size_t blockOffset = Boot::packageHeaderSize + Boot::signatureBlockSize;
    std::string package(blockOffset, '\0');
    package.append(reinterpret_cast<const char*>(data), size);
    std::istringstream stream(package);
    PackageSeal read;
    std::uint64_t foundOffset = 0;
    if (PackageSeal::read(stream, {}, package.size(), read, foundOffset) != status ||
        foundOffset != blockOffset) {
        std::abort();
    }
    if (status != PackageSeal::Status::valid) {
        return 0;
    }
    const std::vector<std::uint8_t> encoded = seal.encode();
    if (encoded.size() != size || !std::equal(encoded.begin(), encoded.end(), data) ||
        read.encode() != encoded) {
        std::abort();
    }
    PackageSeal::Hasher hasher;
    hasher.update(std::span<const char>(package.data(), blockOffset));
    const std::optional<PackageSeal::Digest> digest = hasher.finish();
    if (!digest || seal.verify(checkingKey(), *digest) == PackageSeal::Status::valid) {
        std::abort();
    }
    return 0;
}
