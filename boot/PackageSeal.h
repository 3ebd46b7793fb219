#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "boot/PackageFormat.h"

struct evp_pkey_st;
struct evp_md_ctx_st;

namespace Boot {

// The optional strong seal of an install package: a block appended after the last component's
// data, holding a signature over the SHA-256 of every byte of the package before the block,
// made with a key that stays with the release engineers. The loader's compatible checks never
// read past the last component, so a loader that asks for no seal installs a sealed package as
// it installs any other.
//
// Where the block lies: a sealed package's components lie back to back in table order, the
// first right after the RSA signature block. The seal block starts where the last component
// ends (right after the signature block when there is none) and runs to the end of the file.
// It is found from the table alone, and one pass through the package in table order hashes
// every byte it covers: header, table, RSA signature block, then each component's data.
//
// The block, little-endian like the rest of the package:
//
//   offset  width  field
//   0       u32    magic, the bytes "SEAL"
//   4       u16    format version, 1
//   6       u16    algorithm: 1 Ed25519, 2 RSA-PSS with SHA-256 (MGF1 SHA-256, 32-byte salt)
//   8       32     the signing key's fingerprint: SHA-256 of its DER SubjectPublicKeyInfo
//   40      u32    signature length n: 64 for Ed25519, the modulus size (384 to 1024) for RSA
//   44      n      signature
//
// The signature is made over the block's first 44 bytes followed by the package hash, so that
// neither the algorithm nor the key named can be changed without breaking it.
class PackageSeal {
public:
    enum class Algorithm : std::uint16_t { ed25519 = 1, rsaPssSha256 = 2 };

    // Why a package's seal is not accepted; `valid` when it is (or, from the steps that only
    // find and parse the block, when nothing is wrong so far).
    enum class Status {
        valid,
        missing,             // nothing follows the last component's data
        truncated,           // the file ends inside the block or before the data it follows
        badMagic,            // what follows the data is no seal block
        unsupportedVersion,  // a seal block of a format this code does not know
        unknownAlgorithm,
        badLength,          // a signature length that does not suit the algorithm
        trailingBytes,      // more bytes follow the block
        scatteredLayout,    // the components do not lie back to back after the signature block
        unusableKey,        // the key to check against is no Ed25519 or large enough RSA key
        keyMismatch,        // the package was sealed with another key
        algorithmMismatch,  // the block names the key but another algorithm
        badSignature,       // the signature does not match the package's bytes
    };

    static constexpr std::uint32_t magic = 0x4C414553;
    static constexpr std::uint16_t formatVersion = 1;
    static constexpr std::size_t digestSize = 32;
    static constexpr std::size_t headerSize = 44;
    static constexpr std::size_t ed25519SignatureSize = 64;
    static constexpr int minimumRsaBits = 3072;
    static constexpr std::size_t minimumRsaSignatureSize = 384;
    static constexpr std::size_t maximumRsaSignatureSize = 1024;
    static constexpr std::size_t maximumBlockSize = headerSize + maximumRsaSignatureSize;

    using Digest = std::array<std::uint8_t, digestSize>;
    using Fingerprint = std::array<std::uint8_t, digestSize>;

    // SHA-256 of the package's bytes, fed in pieces as they are read.
    class Hasher {
    public:
        Hasher();
        // A hasher that goes on from where `other` stands, `other` unchanged.
        Hasher(const Hasher& other);
        Hasher(Hasher&& other) noexcept = default;
        Hasher& operator=(const Hasher& other) = delete;
        Hasher& operator=(Hasher&& other) noexcept = default;
        ~Hasher() = default;
        void update(std::span<const std::uint8_t> bytes);
        void update(std::span<const char> bytes);
        // The hash of everything fed so far; empty when OpenSSL failed. Ends the hasher.
        std::optional<Digest> finish();

    private:
        struct ContextDeleter {
            void operator()(evp_md_ctx_st* context) const;
        };
        std::unique_ptr<evp_md_ctx_st, ContextDeleter> context_;
        bool failed_ = false;
    };

    // A seal key: an Ed25519 key or an RSA key of at least 3072 bits. The private half seals,
    // the public half (or a private key) checks.
    class Key {
    public:
        // A new key pair of the algorithm's kind (RSA keys get 3072 bits).
        static Key generate(Algorithm algorithm);
        // A PEM "PRIVATE KEY" or "PUBLIC KEY" text. Encrypted private keys are refused rather
        // than asking for a pass phrase. On failure the key is not valid and problem() says why.
        static Key fromPemText(std::string_view text);

        bool isValid() const { return key_ != nullptr; }
        const std::string& problem() const { return problem_; }
        bool canSign() const { return isValid() && isPrivate_; }
        Algorithm algorithm() const { return algorithm_; }
        const Fingerprint& fingerprint() const { return fingerprint_; }

        // PEM texts: the private half (PKCS #8, empty for a public key) and the public half.
        std::string privatePem() const;
        std::string publicPem() const;

    private:
        friend class PackageSeal;

        static Key adopt(evp_pkey_st* key, bool isPrivate);

        std::shared_ptr<evp_pkey_st> key_;
        bool isPrivate_ = false;
        Algorithm algorithm_ = Algorithm::ed25519;
        Fingerprint fingerprint_{};
        std::string problem_;
    };

    // Where the seal block starts, in `blockOffset`: after the signature block and the data of
    // every component. scatteredLayout when the components do not lie back to back in table
    // order; truncated when their data runs past `fileSize`.
    static Status locate(std::span<const ComponentEntry> entries, std::uint64_t fileSize,
                         std::uint64_t& blockOffset);
    // Reads the bytes from the seal block's offset to the end of the file (the file being
    // `fileSize` bytes long) and parses them. `blockOffset` gets the offset: the hash covers
    // the bytes before it.
    static Status read(std::istream& package, std::span<const ComponentEntry> entries,
                       std::uint64_t fileSize, PackageSeal& seal, std::uint64_t& blockOffset);
    // Parses `bytes`, everything from the block's offset to the end of the file.
    static Status parse(std::span<const std::uint8_t> bytes, PackageSeal& seal);

    // A seal over `packageHash` made with `signingKey`; empty when the key cannot sign.
    static std::optional<PackageSeal> make(const Key& signingKey, const Digest& packageHash);
    // Whether this seal names `expectedKey`: the key is usable, its fingerprint is the one in
    // the block and the algorithm is the key's. Cheap, so that a seal by another key is refused
    // before the package is hashed.
    Status checkKey(const Key& expectedKey) const;
    // Whether this seal was made by `expectedKey` over `packageHash`. Every seal passes the
    // same steps: checkKey, then the signature.
    Status verify(const Key& expectedKey, const Digest& packageHash) const;

    // The block as it is appended to the package.
    std::vector<std::uint8_t> encode() const;

    Algorithm algorithm() const { return algorithm_; }
    const Fingerprint& fingerprint() const { return fingerprint_; }
    const std::vector<std::uint8_t>& signature() const { return signature_; }

    // "ed25519", "rsa-pss-sha256".
    static std::string_view nameOf(Algorithm algorithm);
    // A short lower-case reason, for log lines and reports.
    static std::string_view describe(Status status);
    // Lower-case hexadecimal.
    static std::string hex(std::span<const std::uint8_t> bytes);

private:
    // The 44 bytes before the signature.
    std::array<std::uint8_t, headerSize> header() const;
    // What the signature covers: the header, then the package hash.
    std::vector<std::uint8_t> signedMessage(const Digest& packageHash) const;

    Algorithm algorithm_ = Algorithm::ed25519;
    Fingerprint fingerprint_{};
    std::vector<std::uint8_t> signature_;
};

// How one component's data is held, when an installer reads it again, to what a sealed package's
// check read: the package hash as it stood at the component's first byte, and the digest it gave
// after the last. Fed to a copy of the first, the same bytes give the second; other bytes that
// did would be a SHA-256 collision. So the check's one pass over the package serves both the seal
// and every component.
struct SealedData {
    // Whether `hasher`, a copy of hashBefore fed the data read again, reached digestAfter. Ends
    // the hasher.
    bool reachedBy(PackageSeal::Hasher& hasher) const { return hasher.finish() == digestAfter; }

    PackageSeal::Hasher hashBefore;
    PackageSeal::Digest digestAfter{};
};

}  // namespace Boot
