#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "boot/PackageFormat.h"

struct evp_pkey_st;

namespace Packaging {

// The public half of the loader's key: seals the signature and the text blocks of a package
// (RSA, PKCS #1 v1.5 encryption padding) so that only the loader's private key opens them.
class RsaPublicKey {
public:
    // Reads a PEM file holding a public key ("PUBLIC KEY") or a private key
    // (whose public half is used). On failure the key is not valid and `problem` says why.
    static RsaPublicKey fromPemFile(const std::string& path);
    static RsaPublicKey fromPemText(std::string_view text);

    bool isValid() const { return key_ != nullptr; }
    const std::string& problem() const { return problem_; }

    // At most 117 bytes fit in one 1024-bit block.
    static constexpr std::size_t maximumPlaintext = Boot::rsaBlockSize - 11;

    // Encrypts `plaintext` into one block; false when it is too long or the key is unusable.
    bool encrypt(std::string_view plaintext,
                 std::array<std::uint8_t, Boot::rsaBlockSize>& block) const;

private:
    struct KeyDeleter {
        void operator()(evp_pkey_st* key) const;
    };
    std::shared_ptr<evp_pkey_st> key_;
    std::string problem_;
};

}  // namespace Packaging
