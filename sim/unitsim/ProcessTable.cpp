#include "sim/unitsim/ProcessTable.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace Sim::Unitsim {

namespace {

// "/proc/ID/stat": "ID (NAME) STATE PARENT GROUP ..."; NAME may hold blanks and parentheses,
// so the fields after it are found from its last ')'.
std::optional<ProcessEntry> readEntry(pid_t id) {
    std::ifstream file("/proc/" + std::to_string(id) + "/stat");
    std::string line;
    if (!std::getline(file, line)) {
        return std::nullopt;
    }
    const auto nameEnd = line.rfind(')');
    if (nameEnd == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(nameEnd + 1));
    ProcessEntry entry;
    entry.id = id;
    if (!(fields >> entry.state >> entry.parent >> entry.group)) {
        return std::nullopt;
    }
    return entry;
}

}  // namespace

std::vector<ProcessEntry> ProcessTable::scan() {
    std::vector<ProcessEntry> entries;
    std::error_code error;
    for (const auto& folder : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = folder.path().filename().string();
        pid_t id = 0;
        const auto [stop, parseError] = std::from_chars(name.data(), name.data() + name.size(), id);
        if (parseError != std::errc() || stop != name.data() + name.size()) {
            continue;
        }
        if (std::optional<ProcessEntry> entry = readEntry(id)) {
            entries.push_back(*entry);
        }
    }
    return entries;
}

std::optional<ProcessEntry> ProcessTable::find(pid_t id) {
    return readEntry(id);
}

}  // namespace Sim::Unitsim
