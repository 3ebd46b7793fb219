#include "tools/RsaPublicKey.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <fstream>
#include <limits>
#include <sstream>

namespace Packaging {

void RsaPublicKey::KeyDeleter::operator()(evp_pkey_st* key) const {
    EVP_PKEY_free(key);
}

RsaPublicKey RsaPublicKey::fromPemFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        RsaPublicKey key;
        key.problem_ = "cannot read key file " + path;
        return key;
    }
    std::ostringstream text;
    text << file.rdbuf();
    RsaPublicKey key = fromPemText(text.str());
    if (!key.isValid()) {
        key.problem_ += " in " + path;
    }
    return key;
}

RsaPublicKey RsaPublicKey::fromPemText(std::string_view text) {
    RsaPublicKey key;
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        key.problem_ = "key text too long";
        return key;
    }
    const auto read = [text](auto reader) -> evp_pkey_st* {
        BIO* memory = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
        if (memory == nullptr) {
            return nullptr;
        }
        evp_pkey_st* parsed = reader(memory);
        BIO_free(memory);
        return parsed;
    };
    evp_pkey_st* parsed =
        read([](BIO* memory) { return PEM_read_bio_PUBKEY(memory, nullptr, nullptr, nullptr); });
    if (parsed == nullptr) {
        parsed = read(
            [](BIO* memory) { return PEM_read_bio_PrivateKey(memory, nullptr, nullptr, nullptr); });
    }
    if (parsed == nullptr) {
        key.problem_ = "no RSA key found";
        return key;
    }
    if (EVP_PKEY_base_id(parsed) != EVP_PKEY_RSA ||
        EVP_PKEY_get_size(parsed) != static_cast<int>(Boot::rsaBlockSize)) {
        EVP_PKEY_free(parsed);
        key.problem_ = "the key is not a 1024-bit RSA key";
        return key;
    }
    key.key_ = std::shared_ptr<evp_pkey_st>(parsed, KeyDeleter{});
    return key;
}

bool RsaPublicKey::encrypt(std::string_view plaintext,
                           std::array<std::uint8_t, Boot::rsaBlockSize>& block) const {
    if (key_ == nullptr || plaintext.size() > maximumPlaintext) {
        return false;
    }
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key_.get(), nullptr);
    if (context == nullptr) {
        return false;
    }
    std::size_t length = block.size();
    const bool encrypted =
        EVP_PKEY_encrypt_init(context) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_encrypt(context, block.data(), &length,
                         reinterpret_cast<const unsigned char*>(plaintext.data()),
                         plaintext.size()) == 1 &&
        length == block.size();
    EVP_PKEY_CTX_free(context);
    return encrypted;
}

}  // namespace Packaging
