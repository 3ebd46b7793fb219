#include "platform/SystemLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/UnitRoot.h"

namespace Platform {

void SystemLog::write(int code, int severity, std::string_view text) {
    const std::string path = UnitRoot::hostPath("/var/log/slog");
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    std::string line = std::to_string(code) + " " + std::to_string(severity) + " ";
    line.append(text);
    line.push_back('\n');
    // One write with O_APPEND keeps lines from several threads and processes whole.
    const int handle = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (handle < 0) {
        return;
    }
    [[maybe_unused]] const ssize_t written = ::write(handle, line.data(), line.size());
    ::close(handle);
}

void SystemLog::writef(int code, int severity, const char* format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    write(code, severity, text);
}

}  // namespace Platform
