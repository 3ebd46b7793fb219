#include "tools/KeyGenerator.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace Packaging {
namespace {

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

std::string pemText(bool privateHalf, EVP_PKEY* key) {
    const std::unique_ptr<BIO, BioDeleter> memory(BIO_new(BIO_s_mem()));
    if (memory == nullptr) {
        return {};
    }
    const int written = privateHalf ? PEM_write_bio_PrivateKey_traditional(
                                          memory.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                                    : PEM_write_bio_PUBKEY(memory.get(), key);
    char* data = nullptr;
    const long length = BIO_get_mem_data(memory.get(), &data);  // NOLINT(google-runtime-int)
    if (written != 1 || length <= 0) {
        return {};
    }
    return {data, static_cast<std::size_t>(length)};
}

// Creates the file (never replacing one) with `mode` and writes the text to it.
bool writeNewFile(const std::string& path, const std::string& text, mode_t mode,
                  std::string& error) {
    const int descriptor =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);  // NOLINT
    if (descriptor < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    // The creation mode is reduced by the umask; the private key must not be readable by others
    // whatever the umask, and the public key may be.
    bool written = fchmod(descriptor, mode) == 0;
    std::size_t done = 0;
    while (written && done < text.size()) {
        const ssize_t count = ::write(descriptor, text.data() + done, text.size() - done);
        written = count > 0;
        done += written ? static_cast<std::size_t>(count) : 0;
    }
    written = ::fsync(descriptor) == 0 && written;
    written = ::close(descriptor) == 0 && written;
    if (!written) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(path.c_str());
    }
    return written;
}

}  // namespace

std::string KeyGenerator::publicPathFor(const std::string& privatePath) {
    constexpr std::string_view extension = ".pem";
    if (privatePath.ends_with(extension)) {
        return privatePath.substr(0, privatePath.size() - extension.size()) + ".public.pem";
    }
    return privatePath + ".public.pem";
}

bool KeyGenerator::generate(const std::string& privatePath, const std::string& publicPath,
                            std::string& error) {
    if (privatePath == publicPath) {
        error = "the private and public key files must differ";
        return false;
    }
    for (const std::string& path : {privatePath, publicPath}) {
        if (::access(path.c_str(), F_OK) == 0) {
            error = path + " exists; remove it first or choose another name";
            return false;
        }
    }
    const std::unique_ptr<EVP_PKEY, KeyDeleter> key(EVP_RSA_gen(keyBits));
    if (key == nullptr) {
        error = "OpenSSL could not generate an RSA key";
        return false;
    }
    const std::string privateText = pemText(true, key.get());
    const std::string publicText = pemText(false, key.get());
    if (privateText.empty() || publicText.empty()) {
        error = "OpenSSL could not write the key as PEM text";
        return false;
    }
    if (!writeNewFile(privatePath, privateText, S_IRUSR | S_IWUSR, error)) {
        return false;
    }
    if (!writeNewFile(publicPath, publicText, S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH, error)) {
        std::remove(privatePath.c_str());
        return false;
    }
    return true;
}

}  // namespace Packaging
