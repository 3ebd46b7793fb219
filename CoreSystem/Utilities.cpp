#include "CoreSystem/Utilities.h"

#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>

#include "CoreSystem/Console.h"
#include "CoreSystem/HardwareManager.h"
#include "platform/Clock.h"
#include "platform/PathComponents.h"
#include "platform/UnitRoot.h"
#include "platform/Waitfor.h"

namespace CoreSystem {
namespace {

std::string joined(std::string_view base, std::string_view relativePath) {
    std::string path(base);
    path.append(Utilities::stripLeadingSlashes(relativePath));
    return Platform::UnitRoot::hostPath(path);
}

std::string lowerCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char character) { return std::tolower(character); });
    return text;
}

// Characters that the shell takes literally in a path (tested by value, so that the locale has no
// say).
bool needsNoShellQuotes(char character) {
    return (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z') ||
           (character >= '0' && character <= '9') ||
           std::string_view("/._-+,:=@%").find(character) != std::string_view::npos;
}

}  // namespace

int Utilities::maxargc = 10;

std::string Utilities::dataRoot() {
    const char* root = std::getenv("AUTOLOADPATH");
    return root != nullptr ? root : "/fs/etfs/";
}

std::string Utilities::stripLeadingSlashes(std::string_view path) {
    const std::size_t first = path.find_first_not_of('/');
    return first == std::string_view::npos ? std::string() : std::string(path.substr(first));
}

std::string Utilities::autoloadPath(std::string_view relativePath) {
    return joined(dataRoot(), relativePath);
}

std::string Utilities::configurationPath(std::string_view relativePath) {
    return joined(dataRoot() + "config/", relativePath);
}

std::string Utilities::currentConfigurationPath(std::string_view relativePath) {
    return joined(dataRoot() + "config/current/", relativePath);
}

std::string Utilities::applicationPath(std::string_view relativePath) {
    return joined(dataRoot() + "app/", relativePath);
}

std::string Utilities::temporaryPath(std::string_view relativePath) {
    return joined(dataRoot() + "temp/", relativePath);
}

std::string Utilities::scriptPath(std::string_view relativePath) {
    return joined(dataRoot() + "script/", relativePath);
}

std::string Utilities::nonVolatileDataPath(std::string_view relativePath) {
    return joined(dataRoot() + "nvdata/", relativePath);
}

std::string Utilities::stickPath(std::string_view relativePath) {
    return joined("/mnt/stick/", relativePath);
}

std::string Utilities::sdCardPath(std::string_view relativePath) {
    return joined("/mnt/sd/", relativePath);
}

std::string Utilities::ramPath(std::string_view relativePath) {
    return joined("/tmp/", relativePath);
}

std::string Utilities::runStatePath(std::string_view relativePath) {
    return joined("/var/run/", relativePath);
}

std::string Utilities::usbPath(std::string_view relativePath) {
    if (!Hardware::Manager::isM2()) {
        return stickPath(relativePath);
    }
    // Which port the stick appears on is decided once per process.
    static const std::string base = [] {
        const std::string firstPort = Platform::UnitRoot::hostPath("/fs/usb0/");
        const std::string mapFile = Platform::UnitRoot::hostPath("/fs/usb0/mapid.bin");
        const bool secondPort =
            Platform::waitfor(firstPort, 0) == 0 && Platform::waitfor(mapFile, 0) == 0;
        return secondPort ? Platform::UnitRoot::hostPath("/fs/usb1/") : firstPort;
    }();
    return base + stripLeadingSlashes(relativePath);
}

std::string Utilities::baseName(const std::string& path) {
    std::string copy = path;
    const char* name = basename(copy.data());
    return name != nullptr ? name : "";
}

std::string Utilities::directoryName(const std::string& path) {
    std::string copy = path;
    const char* name = dirname(copy.data());
    return name != nullptr ? name : "";
}

std::string Utilities::binaryDataImagePath(int number) {
    return configurationPath("current/BinaryData/") + std::to_string(number) + ".png";
}

std::string Utilities::mediaPath(int kind) {
    switch (kind) {
        case 1:
            return usbPath("");
        case 2:
            return sdCardPath("");
        case 3:
            return scriptPath("");
        default:
            return "";
    }
}

bool Utilities::exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

bool Utilities::isDirectory(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool Utilities::isInsideUnitRoot(const std::string& path) {
    const std::string root = Platform::UnitRoot::prefix();
    if (root.empty()) {
        return true;  // the host's root: there is no outside
    }
    std::error_code rootError;
    std::error_code pathError;
    const std::string resolvedRoot = std::filesystem::canonical(root, rootError).string();
    const std::string resolved = std::filesystem::canonical(path, pathError).string();
    return !rootError && !pathError && resolved.starts_with(resolvedRoot) &&
           (resolved.size() == resolvedRoot.size() || resolved[resolvedRoot.size()] == '/');
}

bool Utilities::isRegularFile(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool Utilities::canWriteFileAt(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        return errno == ENOENT;
    }
    return S_ISREG(status.st_mode);
}

std::int32_t Utilities::fileSize(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return -1;
    }
    return static_cast<std::int32_t>(
        std::min<off_t>(status.st_size, std::numeric_limits<std::int32_t>::max()));
}

bool Utilities::statLogged(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) {
        return true;
    }
    Console::print("stat " + path + " " + std::strerror(errno) + "\n");
    return false;
}

bool Utilities::changeMode(const std::string& path, const std::string& modeText) {
    const long mode = std::strtol(modeText.c_str(), nullptr, 8);
    return chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

bool Utilities::makeDirectories(const std::string& path) {
    // Walk from the unit root, never from the host's own root: folders above the unit root are
    // not ours to create or open up. A relative path is taken from the unit root.
    std::string current = Platform::UnitRoot::prefix();
    std::string_view rest = path;
    if (rest.starts_with('/')) {
        if (!rest.starts_with(current) ||
            (rest.size() > current.size() && rest[current.size()] != '/')) {
            return false;
        }
        rest.remove_prefix(current.size());
    }
    std::vector<std::string_view> parts;
    Platform::forEachPathComponent(rest,
                                   [&parts](std::string_view part) { parts.push_back(part); });
    if (parts.empty() || std::find(parts.begin(), parts.end(), "..") != parts.end()) {
        return false;
    }
    for (const std::string_view part : parts) {
        current.append("/").append(part);
        if (isDirectory(current)) {
            // A link on the way may lead anywhere: only folders inside the unit root are ours.
            if (!isInsideUnitRoot(current)) {
                return false;
            }
            if (access(current.c_str(), W_OK) != 0) {
                changeMode(current, "777");
            }
        } else if (mkdir(current.c_str(), 0777) != 0) {
            return false;
        }
    }
    return true;
}

bool Utilities::removeFileSynced(const std::string& path) {
    const int handle = open(path.c_str(),  // NOLINT(cppcoreguidelines-pro-type-vararg)
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (handle < 0) {
        // A symbolic link is removed itself: what it points at is not opened.
        return errno == ELOOP && std::remove(path.c_str()) == 0 && syncFile(directoryName(path));
    }
    const bool removed = std::remove(path.c_str()) == 0 && fsync(handle) == 0;
    close(handle);
    return removed;
}

bool Utilities::syncFile(const std::string& path) {
    // Opening a named pipe must not wait for a writer.
    const int handle = open(path.c_str(),  // NOLINT(cppcoreguidelines-pro-type-vararg)
                            O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (handle < 0) {
        return false;
    }
    const bool synced = fsync(handle) == 0;
    close(handle);
    return synced;
}

bool Utilities::writeAll(int handle, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t count = write(handle, bytes, size);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        bytes += count;
        size -= static_cast<std::size_t>(count);
    }
    return true;
}

std::string Utilities::replacementPath(const std::string& path) {
    return path + ".new";
}

void Utilities::discardUnfinishedReplacement(const std::string& path) {
    unlink(replacementPath(path).c_str());
}

bool Utilities::replaceFile(const std::string& path, std::span<const std::uint8_t> bytes) {
    const std::string newPath = replacementPath(path);
    // Whatever lies at the new file's name (a cut-short earlier write, or a link to anywhere) is
    // removed, and the file is created afresh without following a link.
    discardUnfinishedReplacement(path);
    const int handle = open(newPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            0666);  // NOLINT(cppcoreguidelines-pro-type-vararg)
    if (handle < 0) {
        return false;
    }
    bool written = writeAll(handle, bytes.data(), bytes.size());
    written = written && fsync(handle) == 0;
    const bool closed = close(handle) == 0;
    if (!written || !closed || std::rename(newPath.c_str(), path.c_str()) != 0) {
        unlink(newPath.c_str());
        return false;
    }
    // The new name lives in the folder: sync it too.
    syncFile(directoryName(path));
    return true;
}

void Utilities::listDirectory(const std::string& directory, std::vector<std::string>& names,
                              const std::string& filter, bool caseSensitive) {
    dirent** entries = nullptr;
    const int count = scandir(directory.c_str(), &entries, nullptr, nullptr);
    if (count < 0) {
        return;
    }
    const std::string wanted = caseSensitive ? filter : lowerCased(filter);
    for (int index = 0; index < count; ++index) {
        std::string name = entries[index]->d_name;
        if (!caseSensitive) {
            name = lowerCased(name);
        }
        if (name.find(wanted) != std::string::npos) {
            names.push_back(name);
        }
        std::free(entries[index]);  // NOLINT(cppcoreguidelines-no-malloc): scandir allocates
    }
    std::free(entries);  // NOLINT(cppcoreguidelines-no-malloc)
}

int Utilities::runShell(const std::string& command) {
    Console::print("system " + command + "\n");
    const int result = Platform::Process::system(command);
    if (result == -1) {
        Console::print("system shell could not be run\n");
        return -1;
    }
    Console::print("system shell result is " + std::to_string((result >> 8) & 255) + "\n");
    return result;
}

std::string Utilities::shellQuoted(std::string_view path) {
    if (!path.empty() && std::all_of(path.begin(), path.end(), needsNoShellQuotes)) {
        return std::string(path);
    }
    std::string quoted = "'";
    for (const char character : path) {
        if (character == '\'') {
            quoted += "'\\''";
        } else {
            quoted += character;
        }
    }
    quoted += '\'';
    return quoted;
}

int Utilities::removeRecursive(const std::string& path) {
    return runShell("rm -rf " + shellQuoted(path));
}

void Utilities::buildArgv(const char** argv, std::initializer_list<const char*> arguments) {
    const auto limit = static_cast<std::size_t>(std::max(maxargc, 0));
    if (arguments.size() > limit) {
        Console::print("Too many arguments, max is now " + std::to_string(maxargc) + "\n");
    }
    const std::size_t copied = std::min(arguments.size(), limit);
    std::copy_n(arguments.begin(), copied, argv);
    argv[copied] = nullptr;
}

int Utilities::spawnLogged(SpawnMode mode, const std::string& path, const char* const argv[]) {
    const int result = Platform::Process::spawn(mode, path, argv);
    Console::print("spawn " + path + " pid " + std::to_string(result) + "\n");
    return result;
}

int Utilities::spawnWithPriority(SpawnMode mode, const std::string& path, const char* const argv[],
                                 int priority) {
    const int oldPriority = Platform::Process::getPriority();
    Platform::Process::setPriority(priority);
    Console::print("nice " + path + " prio " + std::to_string(priority) + "\n");
    const int processId = spawnLogged(mode, path, argv);
    Platform::Process::setPriority(oldPriority);
    return processId;
}

bool Utilities::waitForPath(const std::string& path, int seconds) {
    for (int poll = 0; poll < seconds * 10; ++poll) {
        struct stat status {};
        if (stat(path.c_str(), &status) == 0) {
            Console::print("waitfor " + path + " " + std::to_string(poll / 10) + " sec\n");
            return true;
        }
        Platform::sleepMilliseconds(100);
    }
    Console::print("waitfor timeout " + path + "\n");
    return false;
}

double Utilities::monotonicSeconds() {
    return std::chrono::duration<double>(Platform::monotonicNow()).count();
}

std::uint64_t Utilities::monotonicMilliseconds() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Platform::monotonicNow()).count());
}

timespec Utilities::deadline(std::uint64_t milliseconds) {
    const auto time = Platform::monotonicNow() + std::chrono::milliseconds(milliseconds);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(time);
    timespec result{};
    result.tv_sec = static_cast<time_t>(seconds.count());
    result.tv_nsec = static_cast<long>((time - seconds).count());
    return result;
}

}  // namespace CoreSystem
