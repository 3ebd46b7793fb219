#pragma once

#include <string_view>

namespace Platform {

// The system logger. On the host each message is one line "CODE SEVERITY TEXT" appended to
// UNIT_ROOT/var/log/slog.
class SystemLog {
public:
    static void write(int code, int severity, std::string_view text);
    // printf-style convenience, as slogf.
    static void writef(int code, int severity, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
};

}  // namespace Platform
