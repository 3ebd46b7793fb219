#include "PowerCutSupport.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>
#include <utility>

#include "CoreSystem/CRC32.h"
#include "sim/common/UnitPaths.h"
#include "sim/unitsim/UnitFolder.h"

namespace PowerCut {

namespace fs = std::filesystem;

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::size_t lineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::string fileText(const std::string& hostPath) {
    return Sim::Unitsim::readWholeFile(hostPath).value_or("");
}

Listing listDataPartition(const std::string& folder) {
    Listing listing;
    const CoreSystem::CRC32 crc;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        const std::string path = fs::relative(entry.path(), folder).string();
        if (std::string(dataFolder) + "/" + path == bootCount) {
            continue;
        }
        const fs::file_status status = entry.symlink_status();
        std::ostringstream description;
        description << std::oct << static_cast<unsigned>(status.permissions()) << std::dec;
        if (fs::is_symlink(status)) {
            description << " link -> " << fs::read_symlink(entry.path()).string();
        } else if (fs::is_directory(status)) {
            description << " folder";
        } else if (fs::is_regular_file(status)) {
            const std::string contents = TestSupport::readHostFile(entry.path().string());
            description << " file " << contents.size() << " bytes crc " << std::hex
                        << crc.update(crc.startValue(CoreSystem::CRC32::packageSeed),
                                      contents.data(), contents.size());
        } else {
            description << " other";
        }
        listing[path] = description.str();
    }
    return listing;
}

// The entries in which two listings differ, at most a few, one per line.
std::string differences(const Listing& expected, const Listing& actual) {
    constexpr std::size_t shown = 6;
    std::vector<std::string> lines;
    for (const auto& [path, description] : expected) {
        const auto found = actual.find(path);
        if (found == actual.end()) {
            lines.push_back(
                std::string("missing ").append(path).append(" (").append(description).append(")"));
        } else if (found->second != description) {
            lines.push_back(std::string(path)
                                .append(": ")
                                .append(found->second)
                                .append(", expected ")
                                .append(description));
        }
    }
    for (const auto& [path, description] : actual) {
        if (!expected.contains(path)) {
            lines.push_back(
                std::string("extra ").append(path).append(" (").append(description).append(")"));
        }
    }
    std::string text;
    for (std::size_t index = 0; index < std::min(lines.size(), shown); ++index) {
        text += "\n    " + lines[index];
    }
    if (lines.size() > shown) {
        text += "\n    and " + std::to_string(lines.size() - shown) + " more";
    }
    return text;
}

std::vector<TracedCall> readTrace(const std::string& hostPath) {
    // A first argument that is a descriptor, shown by -y with the path of its file.
    static const std::regex descriptorArgument(R"(^\w+\(\d+<([^>]*)>)");
    std::vector<TracedCall> calls;
    std::map<std::string, unsigned> counts;
    std::map<std::pair<std::string, std::string>, unsigned> countsOnPath;
    std::istringstream lines(fileText(hostPath));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t open = line.find('(');
        const std::size_t equals = line.rfind(" = ");
        if (open == std::string::npos || equals == std::string::npos || line.starts_with("---") ||
            line.starts_with("+++")) {
            continue;
        }
        std::string name = line.substr(0, open);
        const unsigned invocation = ++counts[name];
        // strace pads short calls to one column, so the padding depends on the width of the
        // descriptor numbers, which differ between runs.
        std::string call = line.substr(0, equals);
        call.erase(call.find_last_not_of(' ') + 1);
        std::smatch descriptor;
        std::string descriptorPath;
        if (std::regex_search(call, descriptor, descriptorArgument)) {
            descriptorPath = descriptor[1];
        }
        const unsigned invocationOnPath =
            descriptorPath.empty() ? 0 : ++countsOnPath[{name, descriptorPath}];
        calls.push_back({std::move(name), invocation, std::move(call), line.substr(equals + 3),
                         std::move(descriptorPath), invocationOnPath});
    }
    return calls;
}

std::string cutUnitName(std::size_t index) {
    std::array<char, 8> name{};
    std::snprintf(name.data(), name.size(), "u-%03zu", index);
    return name.data();
}

// A traced call as it reads in every unit: the unit's root and its folder name taken out, and
// a descriptor in the first argument left out (the loader's other threads open and close
// descriptors at their own pace).
std::string comparable(const std::string& call, const std::string& scratch,
                       const std::string& unitName) {
    static const std::regex descriptor(R"(^(\w+)\(\d+)");
    const std::string unitFolder = "\"" + unitName + "\"";
    const std::string withoutRoot =
        replaced(replaced(call, scratch + "/" + unitName, ""), unitFolder, "\"UNIT\"");
    return std::regex_replace(withoutRoot, descriptor, "$1(fd");
}

// Copies a data partition with its folders, files, links and modes.
void copyDataPartition(const std::string& from, const std::string& to) {
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::permissions(to, fs::status(from).permissions());
}

Unit::Unit(std::string root) : root_(std::move(root)), work_(root_ + ".work") {
    fs::create_directories(work_);
}

Unit::~Unit() {
    unitsim({"stop", root_});
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    fs::remove_all(work_, ignored);
}

bool Unit::has(const std::string& unitPath) const {
    return fs::exists(hostPath(unitPath));
}

TestSupport::ProgramRun Unit::unitsim(const std::vector<std::string>& arguments) const {
    return TestSupport::runProgram(UNITSIM_PATH, arguments, work_);
}

std::string Unit::make(const std::string& dataPartition, const std::string& package) const {
    if (const TestSupport::ProgramRun made = unitsim({"make", root_}); made.status != 0) {
        return "unitsim make failed: " + made.err;
    }
    if (!dataPartition.empty()) {
        copyDataPartition(dataPartition, hostPath(dataFolder));
    }
    fs::copy_file(package, hostPath(updatePackage));
    return "";
}

std::string Unit::start(const std::string& loader) const {
    const TestSupport::ProgramRun started = unitsim({"start", root_, "--loader", loader});
    return started.status == 0 ? "" : "unitsim start failed: " + started.out + started.err;
}

bool Unit::waitFor(const std::vector<std::string>& condition) const {
    std::vector<std::string> arguments = {"wait", root_};
    arguments.insert(arguments.end(), condition.begin(), condition.end());
    arguments.insert(arguments.end(), {"--timeout", std::to_string(bootSeconds)});
    return unitsim(arguments).status == 0;
}

bool Unit::waitForInstallEnd() const {
    return pollUntil([this] { return !has(updatePackage); });
}

bool Unit::waitForBootCount(const std::string& before) const {
    return pollUntil([this, &before] { return file(bootCount) != before; });
}

bool Unit::waitForInstallLogLines(std::size_t lines) const {
    return pollUntil([this, lines] { return installLogLines() >= lines; });
}

void Unit::stop() const {
    unitsim({"stop", root_});
}

std::optional<std::string> Unit::outcome() const {
    return Sim::Unitsim::UnitFolder(root_).outcome();
}

// Through the system calls: this C library's pidfd header declares its functions without C
// linkage.
void Unit::killLoader() const {
    const std::string recorded = file(Sim::UnitPaths::unitProcessGroup);
    const pid_t process = recorded.empty() ? 0 : std::stoi(recorded);
    const int handle = process > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, process, 0)) : -1;
    if (handle < 0) {
        return;
    }
    std::istringstream environment(fileText("/proc/" + std::to_string(process) + "/environ"));
    for (std::string variable; std::getline(environment, variable, '\0');) {
        if (variable == "UNIT_ROOT=" + root_) {
            ::syscall(SYS_pidfd_send_signal, handle, SIGKILL, nullptr, 0);
        }
    }
    ::close(handle);
}

std::size_t Unit::installLogLines() const {
    return lineCount(file(Sim::Unitsim::UnitsimPaths::installLog));
}

}  // namespace PowerCut
