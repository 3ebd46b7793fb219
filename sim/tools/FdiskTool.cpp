#include <charconv>
#include <cstdio>
#include <map>
#include <numeric>
#include <optional>

#include "sim/tools/EmmcState.h"
#include "sim/tools/Tools.h"

namespace Sim::Tools {

namespace {

using Partition = EmmcState::Partition;
using PartitionTable = EmmcState::PartitionTable;

constexpr int largestType = 255;
constexpr int wholeDevice = 100;

// The values of single-letter options given as "-s1" or "-s 1"; nullopt on anything else.
std::optional<std::map<char, int>> parseOptions(const std::vector<std::string>& words) {
    std::map<char, int> options;
    for (std::size_t index = 0; index < words.size(); ++index) {
        const std::string& word = words[index];
        if (word.size() < 2 || word[0] != '-') {
            return std::nullopt;
        }
        std::string value = word.substr(2);
        if (value.empty()) {
            if (++index == words.size()) {
                return std::nullopt;
            }
            value = words[index];
        }
        int number = 0;
        const char* end = value.data() + value.size();
        const auto [stop, error] = std::from_chars(value.data(), end, number);
        if (error != std::errc() || stop != end || options.contains(word[1])) {
            return std::nullopt;
        }
        options[word[1]] = number;
    }
    return options;
}

bool inRange(const std::map<char, int>& options, char option, int lowest, int highest) {
    const auto found = options.find(option);
    return found != options.end() && found->second >= lowest && found->second <= highest;
}

int showTable(const PartitionTable& table) {
    for (const auto& [slot, partition] : table) {
        std::printf("slot %d: type %d, %d%%\n", slot, partition.type, partition.percent);
    }
    return success;
}

int changeTable(const ToolCall& call, const std::string& device, PartitionTable& table,
                const std::string& command, const std::map<char, int>& options) {
    if (!inRange(options, 's', EmmcState::firstSlot, EmmcState::lastSlot)) {
        return call.wrongUsage("expected -s SLOT, " + std::to_string(EmmcState::firstSlot) +
                               " to " + std::to_string(EmmcState::lastSlot));
    }
    const int slot = options.at('s');
    if (command == "delete") {
        if (options.size() != 1) {
            return call.wrongUsage("delete takes only -s SLOT");
        }
        table.erase(slot);  // an empty slot stays empty
    } else {
        if (options.size() != 3 || !inRange(options, 't', 1, largestType) ||
            !inRange(options, 'p', 1, wholeDevice)) {
            return call.wrongUsage("add takes -s SLOT -t TYPE (1-255) -p PERCENT (1-100)");
        }
        if (table.contains(slot)) {
            return call.fail("slot " + std::to_string(slot) + " already holds a partition");
        }
        const int used =
            std::accumulate(table.begin(), table.end(), 0,
                            [](int sum, const auto& entry) { return sum + entry.second.percent; });
        if (used + options.at('p') > wholeDevice) {
            return call.fail("only " + std::to_string(wholeDevice - used) +
                             "% of the device is free");
        }
        table[slot] = Partition{options.at('t'), options.at('p')};
    }
    if (!EmmcState::saveTable(device, table)) {
        return call.fail("cannot store the partition table of " + device);
    }
    return success;
}

}  // namespace

int runFdisk(const ToolCall& call) {
    const auto& arguments = call.arguments;
    if (arguments.size() < 2) {
        return call.wrongUsage("expected a device and a command");
    }
    const std::string& device = arguments[0];
    const std::string& command = arguments[1];
    if (command != "show" && command != "delete" && command != "add") {
        return call.wrongUsage("unknown command '" + command + "'");
    }
    const auto options =
        parseOptions(std::vector<std::string>(arguments.begin() + 2, arguments.end()));
    if (!options || (command == "show" && !options->empty())) {
        return call.wrongUsage("bad options for " + command);
    }
    auto table = EmmcState::loadTable(call, device);
    if (!table) {
        return failure;
    }
    return command == "show" ? showTable(*table)
                             : changeTable(call, device, *table, command, *options);
}

}  // namespace Sim::Tools
