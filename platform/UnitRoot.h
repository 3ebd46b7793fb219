#pragma once

#include <string>
#include <string_view>

namespace Platform {

// The host folder that stands for the unit's file-system root (environment variable UNIT_ROOT).
// Unit paths ("/fs/etfs/", "/dev/key", ...) become host paths here, once, where they are built;
// from there on only host paths travel through the program.
class UnitRoot {
public:
    static constexpr const char* environmentVariable = "UNIT_ROOT";
    // Exit status of an entry point that refuses to start without a usable unit root.
    static constexpr int refusalExitStatus = 2;

    // True when UNIT_ROOT is set, passes checkName and names an existing directory; otherwise
    // fills `message`.
    [[nodiscard]] static bool check(std::string& message);
    // True when `root` can stand for the unit's root in every path, shell command and log line
    // built from it: an absolute path (a relative one could read as a command's option or as a
    // variable assignment) without control characters (which no quoting carries safely through
    // line-based logs). Otherwise fills `message` with why not, to follow the root's name.
    [[nodiscard]] static bool checkName(std::string_view root, std::string& message);

    // The unit root without a trailing slash: empty for "/". Aborts when UNIT_ROOT is unset,
    // because going on would touch the host's own root.
    static std::string prefix();

    // The host path of an absolute unit path; a relative path is returned unchanged.
    static std::string hostPath(std::string_view unitPath);

    // The unit path of a host path beneath the root (for comparisons and messages); other
    // paths are returned unchanged.
    static std::string unitPath(std::string_view hostPath);
};

}  // namespace Platform
