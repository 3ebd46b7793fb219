#include "sim/tools/EmmcState.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/UnitRoot.h"

namespace Sim::Tools {

namespace {

namespace fs = std::filesystem;

constexpr const char* stateFolder = "/var/sim/emmc/";
constexpr const char* mountList = "/var/sim/emmc/mounts";
// The first line of a formatted partition; a file system not mounted since it was made says so.
constexpr std::string_view signature = "qnx6 file system";
constexpr std::string_view freshSuffix = " (new)";

// The state file of a device: its unit path with the slashes turned into underscores.
std::string tableFile(const std::string& deviceHostPath) {
    std::string key = Platform::UnitRoot::unitPath(deviceHostPath);
    key.erase(0, key.find_first_not_of('/'));
    std::replace(key.begin(), key.end(), '/', '_');
    return Platform::UnitRoot::hostPath(stateFolder) + key + ".partitions";
}

std::string firstLine(const std::string& hostPath) {
    std::ifstream file(hostPath);
    std::string line;
    std::getline(file, line);
    return line;
}

bool writeWhole(const std::string& hostPath, const std::string& text) {
    std::error_code error;
    fs::create_directories(fs::path(hostPath).parent_path(), error);
    const std::string temporary = hostPath + ".new";
    {
        std::ofstream file(temporary, std::ios::trunc);
        file << text;
        if (!file.flush()) {
            return false;
        }
    }
    fs::rename(temporary, hostPath, error);
    return !error;
}

}  // namespace

std::optional<EmmcState::PartitionTable> EmmcState::loadTable(const ToolCall& call,
                                                              const std::string& deviceHostPath) {
    if (!call.allowsPath(deviceHostPath)) {
        return std::nullopt;
    }
    std::error_code error;
    if (!fs::exists(deviceHostPath, error)) {
        call.fail("no device " + deviceHostPath);
        return std::nullopt;
    }
    PartitionTable table;
    std::ifstream file(tableFile(deviceHostPath));
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        int slot = 0;
        Partition partition;
        if (!(words >> slot >> partition.type >> partition.percent) || slot < firstSlot ||
            slot > lastSlot) {
            call.fail("the stored partition table of " + deviceHostPath + " is damaged");
            return std::nullopt;
        }
        table[slot] = partition;
    }
    return table;
}

bool EmmcState::saveTable(const std::string& deviceHostPath, const PartitionTable& table) {
    std::ostringstream text;
    for (const auto& [slot, partition] : table) {
        text << slot << ' ' << partition.type << ' ' << partition.percent << '\n';
    }
    return writeWhole(tableFile(deviceHostPath), text.str());
}

std::string EmmcState::partitionPath(const std::string& deviceHostPath, int type) {
    return deviceHostPath + "t" + std::to_string(type);
}

bool EmmcState::format(const std::string& partitionHostPath) {
    return writeWhole(partitionHostPath, std::string(signature) + std::string(freshSuffix) + "\n");
}

bool EmmcState::isFormatted(const std::string& partitionHostPath) {
    return firstLine(partitionHostPath).starts_with(signature);
}

bool EmmcState::takeFreshMark(const std::string& partitionHostPath) {
    if (firstLine(partitionHostPath) != std::string(signature) + std::string(freshSuffix)) {
        return false;
    }
    return writeWhole(partitionHostPath, std::string(signature) + "\n");
}

bool EmmcState::recordMount(const std::string& partitionHostPath,
                            const std::string& folderHostPath) {
    const std::string listPath = Platform::UnitRoot::hostPath(mountList);
    std::ifstream list(listPath);
    std::ostringstream kept;
    const std::string folderUnitPath = Platform::UnitRoot::unitPath(folderHostPath);
    for (std::string line; std::getline(list, line);) {
        if (!line.ends_with(" " + folderUnitPath)) {
            kept << line << '\n';
        }
    }
    kept << Platform::UnitRoot::unitPath(partitionHostPath) << ' ' << folderUnitPath << '\n';
    return writeWhole(listPath, kept.str());
}

}  // namespace Sim::Tools
