#include <filesystem>
#include <fstream>

#include "sim/tools/EmmcState.h"
#include "sim/tools/Tools.h"

namespace Sim::Tools {

namespace {

namespace fs = std::filesystem;

// mount -e DEVICE: a path for each partition in the device's table, as the block driver would
// publish it; existing paths are kept.
int enumeratePartitions(const ToolCall& call, const std::string& device) {
    const auto table = EmmcState::loadTable(call, device);
    if (!table) {
        return failure;
    }
    std::error_code error;
    for (const auto& [slot, partition] : *table) {
        const std::string path = EmmcState::partitionPath(device, partition.type);
        if (fs::symlink_status(path, error).type() == fs::file_type::not_found) {
            std::ofstream created(path);
            if (!created) {
                return call.fail("cannot create " + path);
            }
        }
    }
    return success;
}

// mount -t qnx6 PARTITION FOLDER: the folder is what the file system holds. A newly formatted
// file system shows an empty folder, whatever the folder held before.
int mountFileSystem(const ToolCall& call, const std::string& partition, const std::string& folder) {
    if (!call.allowsPath(partition) || !call.allowsPath(folder)) {
        return failure;
    }
    if (!EmmcState::isFormatted(partition)) {
        return call.fail(partition + " holds no qnx6 file system");
    }
    std::error_code error;
    fs::create_directories(folder, error);
    if (!fs::is_directory(folder, error)) {
        return call.fail("cannot mount on " + folder + ": not a folder");
    }
    if (EmmcState::takeFreshMark(partition)) {
        for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
            fs::remove_all(entry.path(), error);
        }
    }
    if (!EmmcState::recordMount(partition, folder)) {
        return call.fail("cannot record the mount of " + folder);
    }
    return success;
}

}  // namespace

int runMount(const ToolCall& call) {
    const auto& arguments = call.arguments;
    if (arguments.size() == 2 && arguments[0] == "-e") {
        return enumeratePartitions(call, arguments[1]);
    }
    if (arguments.size() == 4 && arguments[0] == "-t") {
        if (arguments[1] != "qnx6") {
            return call.fail("the unit has no " + arguments[1] + " file system");
        }
        return mountFileSystem(call, arguments[2], arguments[3]);
    }
    if (arguments.size() >= 2 && arguments[0] == "-T") {
        return success;  // a network driver module: recorded only
    }
    return call.wrongUsage("unexpected arguments");
}

int runUmount(const ToolCall& call) {
    if (call.arguments.size() != 1) {
        return call.wrongUsage("expected one folder");
    }
    return success;
}

}  // namespace Sim::Tools
