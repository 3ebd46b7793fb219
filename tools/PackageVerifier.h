#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "boot/PackageFormat.h"
#include "boot/PackageSeal.h"
#include "boot/RsaKey.h"
#include "tools/ChunkReader.h"
#include "tools/PackageReader.h"

namespace Packaging {

// Checks a package the way the unit does, with the private key: the signature over header and
// table, the sealed password and part-number texts, and the CRC of every component's data; and,
// given a seal key, the seal after the data, as a loader built with that key does.
class PackageVerifier {
public:
    // One line of the verdict, "signature: ok" or "component 1 (os): FAILED (...)".
    struct Check {
        bool passed = false;
        std::string line;
    };
    struct Texts {
        std::optional<std::string> password;
        std::optional<std::string> partNumber;
    };
    using ReportCheck = std::function<void(const Check&)>;
    // Bytes of component data checked so far, and the total.
    using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

    PackageVerifier(PackageReader& package, const Boot::RsaKey& key);

    Check checkSignature() const;
    // Compares the decrypted block with `expected`: the text up to its first zero byte must be
    // exactly the same.
    Check checkText(std::string_view label, std::uint32_t flag,
                    std::span<const std::uint8_t, Boot::rsaBlockSize> block,
                    const std::optional<std::string>& expected) const;
    // The component's data goes to `piece` as it is read: whenever it lies inside the file, also
    // when its type or place fails the check, so that a seal's hash gets every byte.
    Check checkComponent(std::size_t index, const ChunkReader::Sink& piece);

    // Runs every check in order, reporting each; true when all passed. With `sealKey` the
    // package must also carry a valid seal by that key: its hash is taken in the same pass as
    // the components' CRCs, and its line comes last.
    bool verify(const Texts& texts, const ReportCheck& report, const Progress& progress = {},
                const Boot::PackageSeal::Key* sealKey = nullptr);

private:
    PackageReader& package_;
    const Boot::RsaKey& key_;
};

}  // namespace Packaging
