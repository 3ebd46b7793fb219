#include "boot/RsaKey.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <limits>

#include "CoreSystem/Console.h"

namespace Boot {

void RsaKey::KeyDeleter::operator()(evp_pkey_st* key) const {
    EVP_PKEY_free(key);
}

RsaKey::RsaKey(std::string_view pemText) {
    if (pemText.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        problem_ = "Failed to create key BIO";
        return;
    }
    BIO* memory = BIO_new_mem_buf(pemText.data(), static_cast<int>(pemText.size()));
    if (memory == nullptr) {
        problem_ = "Failed to create key BIO";
        return;
    }
    key_.reset(PEM_read_bio_PrivateKey(memory, nullptr, nullptr, nullptr));
    BIO_free(memory);
    if (key_ == nullptr || EVP_PKEY_base_id(key_.get()) != EVP_PKEY_RSA) {
        key_.reset();
        problem_ = "Failed to create RSA";
    }
}

bool RsaKey::decrypt(std::span<const std::uint8_t, rsaBlockSize> block,
                     std::vector<std::uint8_t>& plaintext) const {
    if (key_ == nullptr) {
        CoreSystem::Console::print(problem_ + "\n");
        return false;
    }
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key_.get(), nullptr);
    if (context == nullptr) {
        return false;
    }
    std::size_t length = rsaBlockSize;
    plaintext.assign(rsaBlockSize, 0);
    const bool decrypted =
        EVP_PKEY_decrypt_init(context) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_decrypt(context, plaintext.data(), &length, block.data(), block.size()) == 1;
    EVP_PKEY_CTX_free(context);
    plaintext.resize(decrypted ? length : 0);
    return decrypted;
}

}  // namespace Boot
