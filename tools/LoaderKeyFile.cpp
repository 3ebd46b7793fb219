#include "tools/LoaderKeyFile.h"

#include "tools/TextFile.h"

namespace Packaging {

bool LoaderKeyFile::read(const std::string& path, std::string_view reason,
                         std::optional<Boot::RsaKey>& key, std::string& error) {
    key.reset();
    std::string text;
    if (!TextFile::readKey(path, text, error)) {
        return false;
    }
    if (!key.emplace(text).isValid()) {
        error = path + " holds no RSA private key (" + std::string(reason) + ")";
        key.reset();
        return false;
    }
    return true;
}

}  // namespace Packaging
