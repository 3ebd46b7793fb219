#pragma once

#include <string>

#include "boot/PackageSeal.h"

namespace Packaging {

// Makes new key pairs and writes them as PEM files: the private half with mode 0600, the public
// half readable by all. Neither file may exist yet, so that a key is never lost by accident.
//
// The loader key is a 1024-bit RSA key whose private half is written in the traditional
// "RSA PRIVATE KEY" form that the loader embeds, and whose public half ("PUBLIC KEY") is what
// packages are packed with. A seal key (Ed25519 or RSA-PSS) has its private half in PKCS #8
// ("PRIVATE KEY"), which seals packages, and its public half, which a sealing loader carries.
class KeyGenerator {
public:
    static constexpr int keyBits = 1024;

    static bool generate(const std::string& privatePath, const std::string& publicPath,
                         std::string& error);
    // `key` gets the new seal key, whose fingerprint names it.
    static bool generateSeal(const std::string& privatePath, const std::string& publicPath,
                             Boot::PackageSeal::Algorithm algorithm, Boot::PackageSeal::Key& key,
                             std::string& error);
    // "NAME.public.pem" beside "NAME.pem" (or beside "NAME" when it has no ".pem").
    static std::string publicPathFor(const std::string& privatePath);
};

}  // namespace Packaging
