#pragma once

#include <string>

namespace Packaging {

// Reads a small text file (a manifest, a key) whole.
class TextFile {
public:
    // False when the path cannot be opened or read, or is a folder.
    static bool read(const std::string& path, std::string& text);
    // The same for a key file, false with `error` naming the file.
    static bool readKey(const std::string& path, std::string& text, std::string& error);
};

}  // namespace Packaging
