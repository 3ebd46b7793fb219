#include "CoreSystem/Utilities.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>

#include "CoreSystem/Console.h"
#include "CoreSystem/HardwareManager.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/PathComponents.h"
#include "platform/UnitRoot.h"
#include "platform/Waitfor.h"

namespace CoreSystem {
namespace {

using Platform::File;
using Platform::FileSystem;

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
    return FileSystem::baseName(path);
}

std::string Utilities::directoryName(const std::string& path) {
    return FileSystem::directoryName(path);
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
    return FileSystem::exists(path);
}

bool Utilities::isDirectory(const std::string& path) {
    return FileSystem::status(path).kind == FileSystem::EntryKind::directory;
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
    return FileSystem::status(path).kind == FileSystem::EntryKind::regularFile;
}

bool Utilities::canWriteFileAt(const std::string& path) {
    const FileSystem::EntryStatus status = FileSystem::linkStatus(path);
    return status.examined() ? status.kind == FileSystem::EntryKind::regularFile : status.missing();
}

std::int32_t Utilities::fileSize(const std::string& path) {
    const FileSystem::EntryStatus status = FileSystem::status(path);
    if (!status.examined()) {
        return -1;
    }
    return static_cast<std::int32_t>(
        std::min<std::int64_t>(status.size, std::numeric_limits<std::int32_t>::max()));
}

bool Utilities::statLogged(const std::string& path) {
    const FileSystem::EntryStatus status = FileSystem::status(path);
    if (status.examined()) {
        return true;
    }
    Console::print("stat " + path + " " + std::strerror(status.error) + "\n");
    return false;
}

unsigned Utilities::octalMode(const std::string& modeText) {
    return static_cast<unsigned>(std::strtol(modeText.c_str(), nullptr, 8));
}

bool Utilities::changeMode(const std::string& path, const std::string& modeText) {
    return FileSystem::changeMode(path, octalMode(modeText));
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
            // A folder that stays closed shows when entries are made in it.
            if (!FileSystem::isWritable(current)) {
                static_cast<void>(changeMode(current, "777"));
            }
        } else if (!FileSystem::makeDirectory(current, 0777)) {
            return false;
        }
    }
    return true;
}

bool Utilities::removeFileSynced(const std::string& path) {
    File file = File::openForReading(path, File::Links::refused);
    if (!file.isOpen()) {
        // A symbolic link is removed itself: what it points at is not opened.
        return file.openRefusedLink() && std::remove(path.c_str()) == 0 &&
               syncFile(directoryName(path));
    }
    return std::remove(path.c_str()) == 0 && file.sync();
}

bool Utilities::syncFile(const std::string& path) {
    File file = File::openForReading(path, File::Links::followed);
    return file.isOpen() && file.sync();
}

std::string Utilities::replacementPath(const std::string& path) {
    return path + ".new";
}

void Utilities::discardUnfinishedReplacement(const std::string& path) {
    // Usually there is nothing to remove; whatever stays in the way makes the next write fail.
    static_cast<void>(FileSystem::removeFile(replacementPath(path)));
}

bool Utilities::replaceFile(const std::string& path, std::span<const std::uint8_t> bytes) {
    const std::string newPath = replacementPath(path);
    // Whatever lies at the new file's name (a cut-short earlier write, or a link to anywhere) is
    // removed, and the file is created afresh without following a link.
    discardUnfinishedReplacement(path);
    File file = File::openForWriting(newPath, File::Existing::refused, File::Links::refused, 0666);
    if (!file.isOpen()) {
        return false;
    }
    const bool written = file.writeAll(bytes.data(), bytes.size()) && file.sync();
    const bool closed = file.close();
    if (!written || !closed || std::rename(newPath.c_str(), path.c_str()) != 0) {
        discardUnfinishedReplacement(path);
        return false;
    }
    // The new name lives in the folder: sync it too. Should that fail, a power cut still leaves
    // one whole file, the old or the new one.
    static_cast<void>(syncFile(directoryName(path)));
    return true;
}

void Utilities::listDirectory(const std::string& directory, std::vector<std::string>& names,
                              const std::string& filter, bool caseSensitive) {
    const std::optional<std::vector<std::string>> entries = FileSystem::listDirectory(directory);
    if (!entries) {
        return;
    }
    const std::string wanted = caseSensitive ? filter : lowerCased(filter);
    for (const std::string& entry : *entries) {
        std::string name = caseSensitive ? entry : lowerCased(entry);
        if (name.find(wanted) != std::string::npos) {
            names.push_back(std::move(name));
        }
    }
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
    // A priority out of range is refused: the child then starts at the caller's own.
    static_cast<void>(Platform::Process::setPriority(priority));
    Console::print("nice " + path + " prio " + std::to_string(priority) + "\n");
    const int processId = spawnLogged(mode, path, argv);
    // The old priority was in force, so it is in range.
    static_cast<void>(Platform::Process::setPriority(oldPriority));
    return processId;
}

bool Utilities::waitForPath(const std::string& path, int seconds) {
    for (int poll = 0; poll < seconds * 10; ++poll) {
        if (FileSystem::status(path).examined()) {
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
