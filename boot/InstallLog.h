#pragma once

#include <fstream>
#include <string>
#include <string_view>

namespace Boot {

// The install log on the USB stick: one line per verification or install step, each ended with
// "\r\n" and flushed. Without a stick the open fails and every line is dropped quietly.
class InstallLog {
public:
    // Opens (truncating) the log at `hostPath` with permission bits 0666.
    void open(const std::string& hostPath);
    void line(std::string_view text);
    // Closes the log and syncs it to the stick.
    void close();

    const std::string& path() const { return path_; }

private:
    std::ofstream stream_;
    std::string path_;
};

}  // namespace Boot
