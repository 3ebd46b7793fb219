#pragma once

#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Process.h"

namespace CoreSystem {

// Paths on the unit's storage, file tests, permissions, directory listings, shell commands and
// process start. Every path builder turns its unit path into a host path (beneath UNIT_ROOT),
// so every other operation takes host paths. Most operations log what they do on stdout.
class Utilities {
public:
    using SpawnMode = Platform::Process::SpawnMode;

    // The largest number of arguments buildArgv copies.
    static int maxargc;

    // AUTOLOADPATH, or "/fs/etfs/" when unset; read on every call. A unit path.
    static std::string dataRoot();
    static std::string stripLeadingSlashes(std::string_view path);

    // Path builders: base + the relative path without its leading slashes, as host paths.
    static std::string autoloadPath(std::string_view relativePath);
    static std::string configurationPath(std::string_view relativePath);
    static std::string currentConfigurationPath(std::string_view relativePath);
    static std::string applicationPath(std::string_view relativePath);
    static std::string temporaryPath(std::string_view relativePath);
    static std::string scriptPath(std::string_view relativePath);
    static std::string nonVolatileDataPath(std::string_view relativePath);
    static std::string stickPath(std::string_view relativePath);
    static std::string sdCardPath(std::string_view relativePath);
    static std::string ramPath(std::string_view relativePath);
    static std::string runStatePath(std::string_view relativePath);
    // On the M2 family "/fs/usb0/", or "/fs/usb1/" when "/fs/usb0/mapid.bin" exists (decided
    // once per process); on other families the stick path.
    static std::string usbPath(std::string_view relativePath);

    static std::string baseName(const std::string& path);
    static std::string directoryName(const std::string& path);
    static std::string binaryDataImagePath(int number);
    // 1: USB, 2: SD card, 3: scripts; anything else gives an empty string.
    static std::string mediaPath(int kind);

    static bool exists(const std::string& path);
    static bool isDirectory(const std::string& path);
    // Whether the path, with every link in it resolved, names something beneath the unit root;
    // false when it cannot be resolved.
    static bool isInsideUnitRoot(const std::string& path);
    // A regular file, or a link to one: something that can be opened and read without waiting.
    static bool isRegularFile(const std::string& path);
    // Nothing, or a regular file that is no link: opening it for writing neither blocks on a
    // named pipe nor writes through a link to somewhere else.
    static bool canWriteFileAt(const std::string& path);
    // The size, or -1 when the path cannot be examined; sizes above 2 GiB - 1 saturate.
    static std::int32_t fileSize(const std::string& path);
    static bool statLogged(const std::string& path);
    // The mode an octal mode text ("777") gives; a text that is no octal number gives mode 0.
    static unsigned octalMode(const std::string& modeText);
    // Applies an octal mode text (see octalMode).
    [[nodiscard]] static bool changeMode(const std::string& path, const std::string& modeText);
    // Creates every missing folder of the path with mode 0777 and opens up existing folders
    // that are not writable. Only folders beneath the unit root are created or changed.
    [[nodiscard]] static bool makeDirectories(const std::string& path);
    // Removes the file and then waits until its removal is on storage; a symbolic link is
    // removed itself.
    [[nodiscard]] static bool removeFileSynced(const std::string& path);
    // Opens the path read-only, fsyncs it and closes it.
    [[nodiscard]] static bool syncFile(const std::string& path);
    // Writes `bytes` to a new file beside `path`, syncs it, renames it over `path` and syncs the
    // folder, so that a power cut leaves the old file or the new one, never a short one.
    static bool replaceFile(const std::string& path, std::span<const std::uint8_t> bytes);
    // The name of the new file that replaceFile writes beside `path` before the rename.
    static std::string replacementPath(const std::string& path);
    // Removes a new file that a cut-short replaceFile left beside `path`.
    static void discardUnfinishedReplacement(const std::string& path);

    // Appends the names of the directory's entries (in directory order, "." and ".." included)
    // that contain the filter; without case sensitivity names and filter are lower-cased.
    static void listDirectory(const std::string& directory, std::vector<std::string>& names,
                              const std::string& filter, bool caseSensitive);

    // The path as one word of a shell command: unchanged when it holds only letters, digits and
    // / . _ - + , : = @ %, so that the unit's own commands read as they always have; otherwise in
    // single quotes, each ' written as '\''. Every path put into a shell command goes through it;
    // such paths are absolute (beneath the unit root), so none starts with '-' as an option does.
    static std::string shellQuoted(std::string_view path);
    // Runs the command with the shell, echoing it and its exit status; the raw result.
    static int runShell(const std::string& command);
    static int removeRecursive(const std::string& path);
    // Copies up to maxargc arguments into argv (which holds maxargc + 1 entries) and ends it
    // with a null pointer.
    static void buildArgv(const char** argv, std::initializer_list<const char*> arguments);
    static int spawnLogged(SpawnMode mode, const std::string& path, const char* const argv[]);
    static int spawnWithPriority(SpawnMode mode, const std::string& path, const char* const argv[],
                                 int priority);
    // Polls ten times a second for up to `seconds`.
    static bool waitForPath(const std::string& path, int seconds);

    static double monotonicSeconds();
    static std::uint64_t monotonicMilliseconds();
    // The monotonic time `milliseconds` from now.
    static timespec deadline(std::uint64_t milliseconds);
};

}  // namespace CoreSystem
