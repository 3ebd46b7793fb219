#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "boot/RsaKey.h"

namespace Packaging {

// The loader's RSA private key read from a PEM file, for the commands that open a package's
// signature and part-number lock as the unit does.
class LoaderKeyFile {
public:
    // False with `error` when the file cannot be read or holds no RSA private key; `reason`
    // closes that error with why the private key is needed.
    static bool read(const std::string& path, std::string_view reason,
                     std::optional<Boot::RsaKey>& key, std::string& error);
};

}  // namespace Packaging
