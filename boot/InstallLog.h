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
    // A line for one archive member. An archive writes thousands of members a second, so their
    // lines are not flushed one by one but together: by `flush`, which the extraction calls for
    // every piece of the package it reads, and with the next step line.
    void memberLine(std::string_view text);
    void flush();
    // Closes the log and syncs it to the stick.
    void close();

    const std::string& path() const { return path_; }

private:
    bool usable() const { return !stream_.fail() && !stream_.bad(); }

    std::ofstream stream_;
    std::string path_;
};

}  // namespace Boot
