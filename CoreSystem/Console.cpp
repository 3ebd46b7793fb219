#include "CoreSystem/Console.h"

#include <cstdarg>
#include <cstdio>

namespace CoreSystem {

void Console::print(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void Console::printf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

}  // namespace CoreSystem
