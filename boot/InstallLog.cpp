#include "boot/InstallLog.h"

#include "CoreSystem/Utilities.h"
#include "platform/FileSystem.h"

namespace Boot {

void InstallLog::open(const std::string& hostPath) {
    path_ = hostPath;
    // The stick is anyone's: a link or a named pipe in the log's place gets no lines.
    if (!CoreSystem::Utilities::canWriteFileAt(hostPath)) {
        stream_.setstate(std::ios::failbit);
        return;
    }
    stream_.open(hostPath, std::ios::out | std::ios::trunc);
    // Anyone may read and remove the log on the stick; where the stick's file system has no
    // permissions to set, it already lets them.
    if (stream_.is_open()) {
        static_cast<void>(Platform::FileSystem::changeMode(hostPath, 0666));
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
    // The log has nowhere to report its own sync failing.
    static_cast<void>(CoreSystem::Utilities::syncFile(path_));
}

}  // namespace Boot
