#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Packaging {

// Builds one JSON text: objects, arrays, strings, numbers and booleans, with the commas placed
// and strings escaped. Bytes that are not valid UTF-8 become U+FFFD, so any file name gives
// valid JSON.
class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    // The name of the next member of the current object.
    JsonWriter& key(std::string_view name);
    JsonWriter& value(std::string_view text);
    JsonWriter& number(std::uint64_t value);
    JsonWriter& signedNumber(std::int64_t value);
    JsonWriter& boolean(bool value);

    const std::string& text() const { return text_; }
    static std::string quoted(std::string_view text);

private:
    void separate();

    std::string text_;
    // One entry per open object or array: whether it has no element yet.
    std::vector<bool> empty_;
    bool afterKey_ = false;
};

}  // namespace Packaging
