#pragma once

#include <optional>
#include <string>

#include "boot/PackageSeal.h"

namespace Packaging {

// A seal key read from a PEM file: the private half seals packages, either half checks seals.
class SealKeyFile {
public:
    enum class Use { check, seal };

    // False with `error` when the file cannot be read or holds no usable seal key, or only the
    // public half of one that is to seal.
    static bool read(const std::string& path, Use use, Boot::PackageSeal::Key& key,
                     std::string& error);
    // The key named by an optional option's value: nothing when none was given, else as read().
    static bool readGiven(const std::optional<std::string>& path, Use use,
                          std::optional<Boot::PackageSeal::Key>& key, std::string& error);
};

}  // namespace Packaging
