#pragma once

#include <span>
#include <string_view>

#include "sim/tools/ToolCall.h"

namespace Sim::Tools {

// One name that unit-tool answers to: what runs it and how it is used.
struct ToolEntry {
    std::string_view name;
    int (*run)(const ToolCall& call);
    std::string_view usage;
};

// Every tool, in the order --help lists them.
std::span<const ToolEntry> allTools();
// The tool called `name`, or null.
const ToolEntry* findTool(std::string_view name);

}  // namespace Sim::Tools
