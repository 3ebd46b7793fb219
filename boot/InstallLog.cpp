#include "boot/InstallLog.h"

#include <sys/stat.h>

#include "CoreSystem/Utilities.h"

namespace Boot {

void InstallLog::open(const std::string& hostPath) {
    path_ = hostPath;
    // The stick is anyone's: a link or a named pipe in the log's place gets no lines.
    if (!CoreSystem::Utilities::canWriteFileAt(hostPath)) {
        stream_.setstate(std::ios::failbit);
        return;
    }
    stream_.open(hostPath, std::ios::out | std::ios::trunc);
    if (stream_.is_open()) {
        chmod(hostPath.c_str(), 0666);
    }
}

void InstallLog::line(std::string_view text) {
    if (!usable()) {
        return;
    }
    stream_ << text << "\r\n";
    stream_.flush();
}

void InstallLog::memberLine(std::string_view text) {
    if (!usable()) {
        return;
    }
    stream_ << text << "\r\n";
}

void InstallLog::flush() {
    if (usable()) {
        stream_.flush();
    }
}

void InstallLog::close() {
    stream_.close();
    CoreSystem::Utilities::syncFile(path_);
}

}  // namespace Boot
