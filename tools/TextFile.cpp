#include "tools/TextFile.h"

#include <filesystem>
#include <fstream>

#include "tools/ChunkReader.h"

namespace Packaging {

bool TextFile::read(const std::string& path, std::string& text) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    text.clear();
    return ChunkReader::readToEnd(file, [&text](std::span<const char> piece) {
        text.append(piece.data(), piece.size());
        return true;
    });
}

bool TextFile::readKey(const std::string& path, std::string& text, std::string& error) {
    if (!read(path, text)) {
        error = "cannot read key file " + path;
        return false;
    }
    return true;
}

}  // namespace Packaging
