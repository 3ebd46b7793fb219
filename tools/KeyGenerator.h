#pragma once

#include <string>

namespace Packaging {

// Makes a new loader key pair: a 1024-bit RSA key whose private half is written in the
// traditional "RSA PRIVATE KEY" PEM form that the loader embeds (file mode 0600), and whose
// public half ("PUBLIC KEY") is what packages are sealed with.
class KeyGenerator {
public:
    static constexpr int keyBits = 1024;

    // Refuses to replace an existing file, so that a signing key is never lost by accident.
    static bool generate(const std::string& privatePath, const std::string& publicPath,
                         std::string& error);
    // "NAME.public.pem" beside "NAME.pem" (or beside "NAME" when it has no ".pem").
    static std::string publicPathFor(const std::string& privatePath);
};

}  // namespace Packaging
