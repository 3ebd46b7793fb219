#pragma once

#include <map>
#include <optional>
#include <string>

#include "sim/tools/ToolCall.h"

namespace Sim::Tools {

// What the simulated eMMC keeps between the format tools: each device's partition table (a text
// file per device under the unit's eMMC state folder, one "SLOT TYPE PERCENT" line per
// partition) and, in each partition path itself, whether it holds a file system.
class EmmcState {
public:
    struct Partition {
        int type = 0;
        int percent = 0;
    };
    // Partitions by slot.
    using PartitionTable = std::map<int, Partition>;

    static constexpr int firstSlot = 1;
    static constexpr int lastSlot = 4;

    // The table of the device at `deviceHostPath` (empty when none was written); nullopt, after
    // the tool said why, when the device is not the unit's or its stored table is damaged.
    static std::optional<PartitionTable> loadTable(const ToolCall& call,
                                                   const std::string& deviceHostPath);
    static bool saveTable(const std::string& deviceHostPath, const PartitionTable& table);
    // The host path of a partition of `type` on the device: DEVICE + "t" + TYPE.
    static std::string partitionPath(const std::string& deviceHostPath, int type);

    // Erases the partition and leaves a new, empty file system on it.
    static bool format(const std::string& partitionHostPath);
    static bool isFormatted(const std::string& partitionHostPath);
    // Whether the file system was formatted and has not been mounted since; marks it mounted.
    static bool takeFreshMark(const std::string& partitionHostPath);
    // Adds or replaces the mount of a folder in the unit's mount list.
    static bool recordMount(const std::string& partitionHostPath,
                            const std::string& folderHostPath);
};

}  // namespace Sim::Tools
