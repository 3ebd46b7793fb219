#include "tools/KeyGenerator.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <span>

#include "tools/OutputFile.h"

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
    const long length = BIO_get_mem_data(memory.get(), &data);
    if (written != 1 || length <= 0) {
        return {};
    }
    return {data, static_cast<std::size_t>(length)};
}

// Creates the file (never replacing one) with `mode` and writes the text to it.
bool writeNewFile(const std::string& path, const std::string& text, mode_t mode,
                  std::string& error) {
    OutputFile file = OutputFile::createNew(path, mode);
    if (!file.isOpen()) {
        error = "cannot create " + path + ": " + file.problem();
        return false;
    }
    // The creation mode is reduced by the umask; the private key must not be readable by others
    // whatever the umask, and the public key may be.
    const bool written = file.setMode(mode) && file.write(std::span<const char>(text)) &&
                         file.sync() && file.close();
    if (!written) {
        error = "cannot write " + path + ": " + file.problem();
        std::remove(path.c_str());
    }
    return written;
}

// Checked before a key is made, which for RSA takes a while.
bool pathsAreFree(const std::string& privatePath, const std::string& publicPath,
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
    return true;
}

bool writePair(const std::string& privatePath, const std::string& publicPath,
               const std::string& privateText, const std::string& publicText, std::string& error) {
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
    if (!pathsAreFree(privatePath, publicPath, error)) {
        return false;
    }
    const std::unique_ptr<EVP_PKEY, KeyDeleter> key(EVP_RSA_gen(keyBits));
    if (key == nullptr) {
        error = "OpenSSL could not generate an RSA key";
        return false;
    }
    return writePair(privatePath, publicPath, pemText(true, key.get()), pemText(false, key.get()),
                     error);
}

bool KeyGenerator::generateSeal(const std::string& privatePath, const std::string& publicPath,
                                Boot::PackageSeal::Algorithm algorithm, Boot::PackageSeal::Key& key,
                                std::string& error) {
    if (!pathsAreFree(privatePath, publicPath, error)) {
        return false;
    }
    key = Boot::PackageSeal::Key::generate(algorithm);
    if (!key.canSign()) {
        error = key.problem();
        return false;
    }
    return writePair(privatePath, publicPath, key.privatePem(), key.publicPem(), error);
}

}  // namespace Packaging
