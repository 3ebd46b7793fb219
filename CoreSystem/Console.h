#pragma once

#include <string_view>

namespace CoreSystem {

// Diagnostics on standard output: one line per event, flushed at once so that the lines keep
// their order with the output of the shell commands the program runs.
class Console {
public:
    static void print(std::string_view text);
    static void printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
};

}  // namespace CoreSystem
