// unit-tool: the simulated unit's stand-in tools, daemons and companion in one program. Called
// through a link or script named after the tool, or as "unit-tool NAME ARGUMENT...".
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "sim/common/StandinProcess.h"
#include "sim/tools/ToolTable.h"

namespace {

constexpr std::string_view programName = "unit-tool";

void printToolList() {
    std::printf(
        "usage: %s TOOL [ARGUMENT]...  (or called by the tool's own name)\n"
        "Runs inside the unit root named by UNIT_ROOT. Tools:\n",
        std::string(programName).c_str());
    for (const Sim::Tools::ToolEntry& tool : Sim::Tools::allTools()) {
        std::printf("  %s %s\n", std::string(tool.name).c_str(), std::string(tool.usage).c_str());
    }
}

std::string baseName(const char* path) {
    const std::string_view text = path == nullptr ? "" : path;
    const auto slash = text.rfind('/');
    return std::string(slash == std::string_view::npos ? text : text.substr(slash + 1));
}

}  // namespace

int main(int argumentCount, char** argumentValues) {
    using namespace Sim::Tools;
    std::string name = baseName(argumentCount > 0 ? argumentValues[0] : nullptr);
    std::vector<std::string> arguments;
    for (int index = 1; index < argumentCount; ++index) {
        arguments.emplace_back(argumentValues[index]);
    }
    if (name == programName) {
        if (arguments.empty()) {
            std::fprintf(stderr, "%s: which tool? (--help lists them)\n", name.c_str());
            return wrongUse;
        }
        if (arguments.front() == "--help") {
            printToolList();
            return success;
        }
        name = arguments.front();
        arguments.erase(arguments.begin());
    }
    const ToolEntry* tool = findTool(name);
    if (tool != nullptr && arguments.size() == 1 && arguments.front() == "--help") {
        std::printf("usage: %s %s\n", name.c_str(), std::string(tool->usage).c_str());
        return success;
    }
    Sim::StandinProcess::requireUnitRoot();
    Sim::StandinProcess::recordCommand(name, arguments);
    if (tool == nullptr) {
        return ToolCall{name, arguments}.fail("not a tool of the simulated unit");
    }
    return tool->run(ToolCall{name, arguments});
}
