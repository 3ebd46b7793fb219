#include "tools/SealKeyFile.h"

#include "tools/TextFile.h"

namespace Packaging {

bool SealKeyFile::read(const std::string& path, Use use, Boot::PackageSeal::Key& key,
                       std::string& error) {
    std::string text;
    if (!TextFile::readKey(path, text, error)) {
        return false;
    }
    key = Boot::PackageSeal::Key::fromPemText(text);
    if (!key.isValid()) {
        error = path + " holds no seal key: " + key.problem();
        return false;
    }
    if (use == Use::seal && !key.canSign()) {
        error = path + " holds the public half of a seal key; sealing needs the private half";
        return false;
    }
    return true;
}

bool SealKeyFile::readGiven(const std::optional<std::string>& path, Use use,
                            std::optional<Boot::PackageSeal::Key>& key, std::string& error) {
    key.reset();
    return !path || read(*path, use, key.emplace(), error);
}

}  // namespace Packaging
