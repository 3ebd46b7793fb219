#include <charconv>
#include <filesystem>

#include "sim/tools/EmmcState.h"
#include "sim/tools/Tools.h"

namespace Sim::Tools {

namespace {

constexpr int smallestBlock = 512;
constexpr int largestBlock = 65536;

bool isBlockSize(const std::string& text) {
    int size = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, size);
    return error == std::errc() && stop == end && size >= smallestBlock && size <= largestBlock &&
           (size & (size - 1)) == 0;
}

}  // namespace

int runMakeFileSystem(const ToolCall& call) {
    const auto& arguments = call.arguments;
    std::string partition;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "-q") {
            continue;
        }
        if (argument == "-b") {
            if (++index == arguments.size() || !isBlockSize(arguments[index])) {
                return call.wrongUsage("-b takes a block size, a power of two from 512 to 65536");
            }
            continue;
        }
        if (argument.starts_with('-') || !partition.empty()) {
            return call.wrongUsage("unexpected argument '" + argument + "'");
        }
        partition = argument;
    }
    if (partition.empty()) {
        return call.wrongUsage("expected a partition");
    }
    if (!call.allowsPath(partition)) {
        return failure;
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(partition, error)) {
        return call.fail("no partition " + partition);
    }
    if (!EmmcState::format(partition)) {
        return call.fail("cannot write " + partition);
    }
    return success;
}

int runCheckFileSystem(const ToolCall& call) {
    if (call.arguments.size() != 1) {
        return call.wrongUsage("expected one partition");
    }
    const std::string& partition = call.arguments[0];
    if (!call.allowsPath(partition)) {
        return failure;
    }
    if (!EmmcState::isFormatted(partition)) {
        return call.fail(partition + " holds no qnx6 file system");
    }
    return success;
}

}  // namespace Sim::Tools
