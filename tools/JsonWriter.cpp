#include "tools/JsonWriter.h"

#include <array>
#include <cstdio>

namespace Packaging {
namespace {

// The length of the valid UTF-8 sequence starting at `index`, or 0 when it is not one.
std::size_t utf8SequenceLength(std::string_view text, std::size_t index) {
    const auto lead = static_cast<unsigned char>(text[index]);
    std::size_t length = 0;
    unsigned long codePoint = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1FU;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0FU;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07U;
    } else {
        return 0;
    }
    if (index + length > text.size()) {
        return 0;
    }
    for (std::size_t offset = 1; offset < length; ++offset) {
        const auto next = static_cast<unsigned char>(text[index + offset]);
        if ((next & 0xC0U) != 0x80U) {
            return 0;
        }
        codePoint = codePoint << 6U | (next & 0x3FU);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not valid.
    const bool shortest =
        (length == 3 && codePoint >= 0x800) || (length == 4 && codePoint >= 0x10000) || length == 2;
    const bool valid =
        shortest && (codePoint < 0xD800 || codePoint > 0xDFFF) && codePoint <= 0x10FFFF;
    return valid ? length : 0;
}

}  // namespace

std::string JsonWriter::quoted(std::string_view text) {
    std::string result = "\"";
    for (std::size_t index = 0; index < text.size(); ++index) {
        const char character = text[index];
        const auto byte = static_cast<unsigned char>(character);
        switch (character) {
            case '"':
                result += "\\\"";
                continue;
            case '\\':
                result += "\\\\";
                continue;
            case '\n':
                result += "\\n";
                continue;
            case '\r':
                result += "\\r";
                continue;
            case '\t':
                result += "\\t";
                continue;
            default:
                break;
        }
        if (byte < 0x20) {
            std::array<char, 7> escape{};
            std::snprintf(escape.data(), escape.size(), "\\u%04x", byte);
            result += escape.data();
        } else if (byte < 0x80) {
            result += character;
        } else if (const std::size_t length = utf8SequenceLength(text, index); length > 0) {
            result.append(text.substr(index, length));
            index += length - 1;
        } else {
            result += "\\ufffd";
        }
    }
    return result + "\"";
}

void JsonWriter::separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!empty_.empty()) {
        if (!empty_.back()) {
            text_ += ",";
        }
        empty_.back() = false;
    }
}

JsonWriter& JsonWriter::beginObject() {
    separate();
    text_ += "{";
    empty_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endObject() {
    text_ += "}";
    empty_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::beginArray() {
    separate();
    text_ += "[";
    empty_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endArray() {
    text_ += "]";
    empty_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    separate();
    text_ += quoted(name) + ":";
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
    separate();
    text_ += quoted(text);
    return *this;
}

JsonWriter& JsonWriter::number(std::uint64_t value) {
    separate();
    text_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::signedNumber(std::int64_t value) {
    separate();
    text_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
    separate();
    text_ += value ? "true" : "false";
    return *this;
}

}  // namespace Packaging
