#include "platform/VideoMode.h"

#include <sstream>
#include <string>

namespace Platform {

namespace {

constexpr std::string_view videoModeKey = "video-mode";

bool readSide(std::istringstream& stream, int& value) {
    long long number = 0;
    if (!(stream >> number) || number < 1 || number > largestSide) {
        return false;
    }
    value = static_cast<int>(number);
    return true;
}

bool skipSeparator(std::istringstream& stream, char separator) {
    char found = 0;
    return (stream >> found) && (found == separator || (separator == 'x' && found == 'X'));
}

}  // namespace

std::optional<VideoMode> parseVideoMode(std::string_view configuration) {
    std::istringstream lines{std::string(configuration)};
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t key = line.find(videoModeKey);
        if (key == std::string::npos || line.find('#') < key) {
            continue;
        }
        std::istringstream fields(line.substr(key + videoModeKey.size()));
        VideoMode mode;
        if (skipSeparator(fields, '=') && readSide(fields, mode.width) &&
            skipSeparator(fields, 'x') && readSide(fields, mode.height)) {
            return mode;
        }
    }
    return std::nullopt;
}

}  // namespace Platform
