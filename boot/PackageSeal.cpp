#include "boot/PackageSeal.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <limits>

#include "CoreSystem/ByteOrder.h"

namespace Boot {
namespace {

using CoreSystem::ByteOrder::loadLittleEndian16;
using CoreSystem::ByteOrder::loadLittleEndian32;
using CoreSystem::ByteOrder::storeLittleEndian16;
using CoreSystem::ByteOrder::storeLittleEndian32;
using Algorithm = PackageSeal::Algorithm;
using Status = PackageSeal::Status;

constexpr std::size_t versionOffset = 4;
constexpr std::size_t algorithmOffset = 6;
constexpr std::size_t fingerprintOffset = 8;
constexpr std::size_t signatureLengthOffset = 40;
constexpr int maximumRsaBits = static_cast<int>(PackageSeal::maximumRsaSignatureSize * 8);

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct SigningContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using SigningContext = std::unique_ptr<EVP_MD_CTX, SigningContextDeleter>;

// An encrypted key fails to parse instead of waiting for a pass phrase at a terminal.
int refusePassPhrase(char* /*buffer*/, int /*size*/, int /*writing*/, void* /*data*/) {
    return -1;
}

std::unique_ptr<BIO, BioDeleter> memoryBuffer(std::string_view text) {
    return std::unique_ptr<BIO, BioDeleter>(
        BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

bool isKnownAlgorithm(std::uint16_t value) {
    return value == static_cast<std::uint16_t>(Algorithm::ed25519) ||
           value == static_cast<std::uint16_t>(Algorithm::rsaPssSha256);
}

bool suitsAlgorithm(Algorithm algorithm, std::uint32_t signatureLength) {
    if (algorithm == Algorithm::ed25519) {
        return signatureLength == PackageSeal::ed25519SignatureSize;
    }
    return signatureLength >= PackageSeal::minimumRsaSignatureSize &&
           signatureLength <= PackageSeal::maximumRsaSignatureSize;
}

std::optional<PackageSeal::Fingerprint> fingerprintOf(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    if (length <= 0) {
        return std::nullopt;
    }
    PackageSeal::Fingerprint fingerprint{};
    unsigned int size = 0;
    const bool hashed = EVP_Digest(der, static_cast<std::size_t>(length), fingerprint.data(), &size,
                                   EVP_sha256(), nullptr) == 1 &&
                        size == fingerprint.size();
    OPENSSL_free(der);
    return hashed ? std::optional(fingerprint) : std::nullopt;
}

std::string pemText(EVP_PKEY* key, bool privateHalf) {
    const std::unique_ptr<BIO, BioDeleter> memory(BIO_new(BIO_s_mem()));
    if (memory == nullptr) {
        return {};
    }
    const int written = privateHalf ? PEM_write_bio_PrivateKey(memory.get(), key, nullptr, nullptr,
                                                               0, nullptr, nullptr)
                                    : PEM_write_bio_PUBKEY(memory.get(), key);
    char* data = nullptr;
    const long length = BIO_get_mem_data(memory.get(), &data);
    if (written != 1 || length <= 0) {
        return {};
    }
    return {data, static_cast<std::size_t>(length)};
}

// Starts signing or verifying with the algorithm's hash and padding. Ed25519 signs the message
// itself; RSA signs its SHA-256 with PSS padding, MGF1 over SHA-256 and a salt as long as the hash.
template <typename Initialise>
bool startSignature(EVP_MD_CTX* context, EVP_PKEY* key, Algorithm algorithm,
                    Initialise initialise) {
    EVP_PKEY_CTX* keyContext = nullptr;
    if (algorithm == Algorithm::ed25519) {
        return initialise(context, &keyContext, nullptr, nullptr, key) == 1;
    }
    return initialise(context, &keyContext, EVP_sha256(), nullptr, key) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PSS_PADDING) == 1 &&
           EVP_PKEY_CTX_set_rsa_pss_saltlen(keyContext, RSA_PSS_SALTLEN_DIGEST) == 1 &&
           EVP_PKEY_CTX_set_rsa_mgf1_md(keyContext, EVP_sha256()) == 1;
}

}  // namespace

void PackageSeal::Hasher::ContextDeleter::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

PackageSeal::Hasher::Hasher() : context_(EVP_MD_CTX_new()) {
    failed_ = context_ == nullptr || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1;
}

PackageSeal::Hasher::Hasher(const Hasher& other)
    : context_(EVP_MD_CTX_new()), failed_(other.failed_) {
    failed_ = failed_ || context_ == nullptr ||
              EVP_MD_CTX_copy_ex(context_.get(), other.context_.get()) != 1;
}

void PackageSeal::Hasher::update(std::span<const std::uint8_t> bytes) {
    if (!failed_ && !bytes.empty()) {
        failed_ = EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) != 1;
    }
}

void PackageSeal::Hasher::update(std::span<const char> bytes) {
    update(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                         bytes.size()));
}

std::optional<PackageSeal::Digest> PackageSeal::Hasher::finish() {
    Digest digest{};
    unsigned int size = 0;
    const bool finished = !failed_ &&
                          EVP_DigestFinal_ex(context_.get(), digest.data(), &size) == 1 &&
                          size == digest.size();
    // A finished context holds no hash to go on with.
    failed_ = true;
    return finished ? std::optional(digest) : std::nullopt;
}

PackageSeal::Key PackageSeal::Key::adopt(evp_pkey_st* key, bool isPrivate) {
    Key adopted;
    std::shared_ptr<evp_pkey_st> owned(key, EVP_PKEY_free);
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_ED25519) {
        adopted.algorithm_ = Algorithm::ed25519;
    } else if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA) {
        const int bits = EVP_PKEY_get_bits(key);
        if (bits < minimumRsaBits || bits > maximumRsaBits) {
            adopted.problem_ = "an RSA key of " + std::to_string(bits) + " bits; a seal needs " +
                               std::to_string(minimumRsaBits) + " to " +
                               std::to_string(maximumRsaBits) + " bits";
            return adopted;
        }
        adopted.algorithm_ = Algorithm::rsaPssSha256;
    } else {
        adopted.problem_ = "neither an Ed25519 nor an RSA key";
        return adopted;
    }
    const std::optional<Fingerprint> fingerprint = fingerprintOf(key);
    if (!fingerprint) {
        adopted.problem_ = "the key's public half cannot be encoded";
        return adopted;
    }
    adopted.fingerprint_ = *fingerprint;
    adopted.isPrivate_ = isPrivate;
    adopted.key_ = std::move(owned);
    return adopted;
}

PackageSeal::Key PackageSeal::Key::generate(Algorithm algorithm) {
    EVP_PKEY* key = nullptr;
    if (algorithm == Algorithm::rsaPssSha256) {
        key = EVP_RSA_gen(static_cast<unsigned int>(minimumRsaBits));
    } else {
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
        if (context != nullptr && EVP_PKEY_keygen_init(context) == 1) {
            EVP_PKEY_keygen(context, &key);
        }
        EVP_PKEY_CTX_free(context);
    }
    if (key == nullptr) {
        Key failed;
        failed.problem_ = "OpenSSL could not generate a key";
        return failed;
    }
    return adopt(key, true);
}

PackageSeal::Key PackageSeal::Key::fromPemText(std::string_view text) {
    Key key;
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        key.problem_ = "the key text is too long";
        return key;
    }
    const std::unique_ptr<BIO, BioDeleter> privateText = memoryBuffer(text);
    if (privateText == nullptr) {
        key.problem_ = "OpenSSL could not read the key text";
        return key;
    }
    if (EVP_PKEY* parsed =
            PEM_read_bio_PrivateKey(privateText.get(), nullptr, refusePassPhrase, nullptr)) {
        return adopt(parsed, true);
    }
    const std::unique_ptr<BIO, BioDeleter> publicText = memoryBuffer(text);
    EVP_PKEY* parsed = publicText == nullptr ? nullptr
                                             : PEM_read_bio_PUBKEY(publicText.get(), nullptr,
                                                                   refusePassPhrase, nullptr);
    // What failed to parse leaves its reasons queued; they must not turn up in a later report.
    ERR_clear_error();
    if (parsed == nullptr) {
        key.problem_ = "no unencrypted PEM private key and no PEM public key";
        return key;
    }
    return adopt(parsed, false);
}

std::string PackageSeal::Key::privatePem() const {
    return canSign() ? pemText(key_.get(), true) : std::string();
}

std::string PackageSeal::Key::publicPem() const {
    return isValid() ? pemText(key_.get(), false) : std::string();
}

Status PackageSeal::locate(std::span<const ComponentEntry> entries, std::uint64_t fileSize,
                           std::uint64_t& blockOffset) {
    std::uint64_t expected =
        packageHeaderSize + componentEntrySize * entries.size() + signatureBlockSize;
    for (const ComponentEntry& entry : entries) {
        if (entry.offset != expected ||
            entry.size > std::numeric_limits<std::uint64_t>::max() - expected) {
            return Status::scatteredLayout;
        }
        expected += entry.size;
    }
    if (expected > fileSize) {
        return Status::truncated;
    }
    blockOffset = expected;
    return Status::valid;
}

Status PackageSeal::read(std::istream& package, std::span<const ComponentEntry> entries,
                         std::uint64_t fileSize, PackageSeal& seal, std::uint64_t& blockOffset) {
    if (const Status located = locate(entries, fileSize, blockOffset); located != Status::valid) {
        return located;
    }
    // One byte more than the largest block is enough to tell that more bytes follow it.
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(
        std::min<std::uint64_t>(fileSize - blockOffset, maximumBlockSize + 1)));
    package.clear();
    if (blockOffset > static_cast<std::uint64_t>(std::numeric_limits<std::streamoff>::max()) ||
        !package.seekg(static_cast<std::streamoff>(blockOffset)) ||
        !package.read(reinterpret_cast<char*>(bytes.data()),
                      static_cast<std::streamsize>(bytes.size()))) {
        return Status::truncated;
    }
    return parse(bytes, seal);
}

Status PackageSeal::parse(std::span<const std::uint8_t> bytes, PackageSeal& seal) {
    if (bytes.empty()) {
        return Status::missing;
    }
    std::array<std::uint8_t, 4> magicBytes{};
    storeLittleEndian32(magicBytes.data(), magic);
    const std::size_t compared = std::min(bytes.size(), magicBytes.size());
    if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(compared),
                    magicBytes.begin())) {
        return Status::badMagic;
    }
    if (bytes.size() < headerSize) {
        return Status::truncated;
    }
    if (loadLittleEndian16(bytes.data() + versionOffset) != formatVersion) {
        return Status::unsupportedVersion;
    }
    const std::uint16_t algorithm = loadLittleEndian16(bytes.data() + algorithmOffset);
    if (!isKnownAlgorithm(algorithm)) {
        return Status::unknownAlgorithm;
    }
    const std::uint32_t signatureLength = loadLittleEndian32(bytes.data() + signatureLengthOffset);
    if (!suitsAlgorithm(static_cast<Algorithm>(algorithm), signatureLength)) {
        return Status::badLength;
    }
    if (bytes.size() - headerSize < signatureLength) {
        return Status::truncated;
    }
    if (bytes.size() - headerSize > signatureLength) {
        return Status::trailingBytes;
    }
    seal.algorithm_ = static_cast<Algorithm>(algorithm);
    std::copy_n(bytes.begin() + fingerprintOffset, seal.fingerprint_.size(),
                seal.fingerprint_.begin());
    seal.signature_.assign(bytes.begin() + headerSize, bytes.end());
    return Status::valid;
}

std::optional<PackageSeal> PackageSeal::make(const Key& signingKey, const Digest& packageHash) {
    if (!signingKey.canSign()) {
        return std::nullopt;
    }
    PackageSeal seal;
    seal.algorithm_ = signingKey.algorithm();
    seal.fingerprint_ = signingKey.fingerprint();
    const std::size_t length =
        seal.algorithm_ == Algorithm::ed25519
            ? ed25519SignatureSize
            : static_cast<std::size_t>(EVP_PKEY_get_size(signingKey.key_.get()));
    // The header that the signature covers carries the signature's length.
    seal.signature_.assign(length, 0);
    const std::vector<std::uint8_t> message = seal.signedMessage(packageHash);
    const SigningContext context(EVP_MD_CTX_new());
    std::size_t written = length;
    const bool signedMessage =
        context != nullptr &&
        startSignature(context.get(), signingKey.key_.get(), seal.algorithm_, EVP_DigestSignInit) &&
        EVP_DigestSign(context.get(), seal.signature_.data(), &written, message.data(),
                       message.size()) == 1 &&
        written == length;
    if (!signedMessage) {
        ERR_clear_error();
        return std::nullopt;
    }
    return seal;
}

Status PackageSeal::checkKey(const Key& expectedKey) const {
    if (!expectedKey.isValid()) {
        return Status::unusableKey;
    }
    if (fingerprint_ != expectedKey.fingerprint()) {
        return Status::keyMismatch;
    }
    if (algorithm_ != expectedKey.algorithm()) {
        return Status::algorithmMismatch;
    }
    return Status::valid;
}

Status PackageSeal::verify(const Key& expectedKey, const Digest& packageHash) const {
    if (const Status keyStatus = checkKey(expectedKey); keyStatus != Status::valid) {
        return keyStatus;
    }
    const std::vector<std::uint8_t> message = signedMessage(packageHash);
    const SigningContext context(EVP_MD_CTX_new());
    const bool verified =
        context != nullptr &&
        startSignature(context.get(), expectedKey.key_.get(), algorithm_, EVP_DigestVerifyInit) &&
        EVP_DigestVerify(context.get(), signature_.data(), signature_.size(), message.data(),
                         message.size()) == 1;
    if (!verified) {
        ERR_clear_error();
    }
    return verified ? Status::valid : Status::badSignature;
}

std::array<std::uint8_t, PackageSeal::headerSize> PackageSeal::header() const {
    std::array<std::uint8_t, headerSize> bytes{};
    storeLittleEndian32(bytes.data(), magic);
    storeLittleEndian16(bytes.data() + versionOffset, formatVersion);
    storeLittleEndian16(bytes.data() + algorithmOffset, static_cast<std::uint16_t>(algorithm_));
    std::copy(fingerprint_.begin(), fingerprint_.end(), bytes.begin() + fingerprintOffset);
    storeLittleEndian32(bytes.data() + signatureLengthOffset,
                        static_cast<std::uint32_t>(signature_.size()));
    return bytes;
}

std::vector<std::uint8_t> PackageSeal::signedMessage(const Digest& packageHash) const {
    const std::array<std::uint8_t, headerSize> fixed = header();
    // Reserved whole: GCC 12 at -O2 takes the growth of a vector built from the array for an
    // out-of-bounds copy (-Warray-bounds).
    std::vector<std::uint8_t> message;
    message.reserve(fixed.size() + packageHash.size());
    message.insert(message.end(), fixed.begin(), fixed.end());
    message.insert(message.end(), packageHash.begin(), packageHash.end());
    return message;
}

std::vector<std::uint8_t> PackageSeal::encode() const {
    const std::array<std::uint8_t, headerSize> fixed = header();
    std::vector<std::uint8_t> block;
    block.reserve(fixed.size() + signature_.size());
    block.insert(block.end(), fixed.begin(), fixed.end());
    block.insert(block.end(), signature_.begin(), signature_.end());
    return block;
}

std::string_view PackageSeal::nameOf(Algorithm algorithm) {
    return algorithm == Algorithm::ed25519 ? "ed25519" : "rsa-pss-sha256";
}

std::string_view PackageSeal::describe(Status status) {
    switch (status) {
        case Status::valid:
            return "valid seal";
        case Status::missing:
            return "no seal";
        case Status::truncated:
            return "seal cut short";
        case Status::badMagic:
            return "no seal block after the component data";
        case Status::unsupportedVersion:
            return "seal of an unknown format version";
        case Status::unknownAlgorithm:
            return "seal of an unknown algorithm";
        case Status::badLength:
            return "seal signature length does not suit its algorithm";
        case Status::trailingBytes:
            return "bytes after the seal";
        case Status::scatteredLayout:
            return "component data not back to back";
        case Status::unusableKey:
            return "no usable seal key";
        case Status::keyMismatch:
            return "sealed with another key";
        case Status::algorithmMismatch:
            return "seal algorithm does not match the key";
        case Status::badSignature:
            return "seal does not match the package";
    }
    return "unknown seal status";
}

std::string PackageSeal::hex(std::span<const std::uint8_t> bytes) {
    static constexpr std::string_view digits = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text += digits[byte >> 4U];
        text += digits[byte & 0x0FU];
    }
    return text;
}

}  // namespace Boot
