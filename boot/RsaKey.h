#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "boot/PackageFormat.h"

struct evp_pkey_st;

namespace Boot {

// An RSA private key, parsed once from its PEM text, that opens the 128-byte blocks of install
// packages (PKCS #1 v1.5 encryption padding).
class RsaKey {
public:
    explicit RsaKey(std::string_view pemText);

    bool isValid() const { return key_ != nullptr; }
    // Why the key could not be used ("Failed to create key BIO" or "Failed to create RSA");
    // empty for a valid key.
    const std::string& problem() const { return problem_; }

    // The plaintext of one block, or false when the key is unusable or the block does not
    // decrypt. Prints the key's problem line when the key is unusable.
    [[nodiscard]] bool decrypt(std::span<const std::uint8_t, rsaBlockSize> block,
                               std::vector<std::uint8_t>& plaintext) const;

private:
    struct KeyDeleter {
        void operator()(evp_pkey_st* key) const;
    };
    std::unique_ptr<evp_pkey_st, KeyDeleter> key_;
    std::string problem_;
};

}  // namespace Boot
