#include <algorithm>
#include <filesystem>
#include <fstream>
#include <span>

#include "CoreSystem/Console.h"
#include "sim/common/UnitPaths.h"
#include "sim/unitsim/Arguments.h"
#include "sim/unitsim/Commands.h"
#include "sim/unitsim/ReceivedReport.h"
#include "sim/unitsim/StickSlot.h"
#include "sim/unitsim/UnitFolder.h"

namespace Sim::Unitsim {

namespace {

namespace fs = std::filesystem;

// A PNG file: 8-byte signature, then the IHDR chunk whose data starts with width and height
// (big-endian).
constexpr std::size_t pngWidthOffset = 16;
constexpr std::size_t pngHeaderSize = 24;
constexpr std::size_t copyPieceSize = 1 << 16;

std::string sizeText(const std::string& png) {
    if (png.size() < pngHeaderSize || png.compare(1, 3, "PNG") != 0) {
        return std::to_string(png.size()) + " bytes";
    }
    const auto bigEndian = [&](std::size_t offset) {
        std::uint32_t value = 0;
        for (std::size_t index = 0; index < 4; ++index) {
            value = (value << 8U) | static_cast<std::uint8_t>(png[offset + index]);
        }
        return value;
    };
    return std::to_string(bigEndian(pngWidthOffset)) + "x" +
           std::to_string(bigEndian(pngWidthOffset + 4)) + " " + std::to_string(png.size()) +
           " bytes";
}

void printFile(const std::string& hostPath, const std::string& what) {
    const std::optional<std::string> contents = readWholeFile(hostPath);
    if (!contents) {
        throw CommandFailure("no " + what + " yet (" + hostPath + ")");
    }
    CoreSystem::Console::print(*contents);
}

int stick(const CommandLine& line) {
    const UnitFolder unit = UnitFolder::existing(line.positionals()[0]);
    const std::string& source = line.positionals()[1];
    const std::string name = line.positionals().size() == 3 ? line.positionals()[2]
                                                            : fs::path(source).filename().string();
    const StickSlot stick(unit);
    StickSlot::Incoming incoming = stick.receive(name);
    std::ifstream file(source, std::ios::binary);
    if (!file || !fs::is_regular_file(source)) {
        throw CommandFailure(source + ": cannot be read");
    }
    std::vector<char> buffer(copyPieceSize);
    while (file.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) ||
           file.gcount() > 0) {
        incoming.write(std::span(buffer.data(), static_cast<std::size_t>(file.gcount())));
    }
    if (file.bad()) {
        throw CommandFailure(source + ": cannot be read");
    }
    CoreSystem::Console::print(incoming.finish() + "\n");
    return 0;
}

int frame(const CommandLine& line) {
    const UnitFolder unit = UnitFolder::existing(line.positionals()[0]);
    const std::string path = unit.hostPath(UnitsimPaths::latestFrame);
    const std::optional<std::string> png = readWholeFile(path);
    if (!png) {
        throw CommandFailure("no frame yet (" + path + ")");
    }
    CoreSystem::Console::print(path + " " + sizeText(*png) + "\n");
    return 0;
}

int logs(const CommandLine& line) {
    const UnitFolder unit = UnitFolder::existing(line.positionals()[0]);
    const std::string kind = line.positionals().size() == 2 ? line.positionals()[1] : "loader";
    if (kind == "loader") {
        printFile(unit.hostPath(UnitPaths::loaderOutput), "loader output");
    } else if (kind == "install") {
        printFile(unit.hostPath(UnitsimPaths::installLog), "install log");
    } else if (kind == "slog") {
        printFile(unit.hostPath(UnitsimPaths::systemLog), "system log");
    } else if (kind == "commands") {
        printFile(unit.hostPath(UnitPaths::commandsLog), "command log");
    } else if (kind == "received") {
        CoreSystem::Console::print(receivedReport(unit));
    } else {
        throw UsageError("unknown log '" + kind +
                         "' (logs: loader install slog commands received)");
    }
    return 0;
}

}  // namespace

Command stickCommand() {
    return {
        .name = "stick",
        .summary = "copy a file onto the USB stick",
        .usage = "ROOT FILE [NAME]",
        .help = "Copies FILE onto the USB stick (mnt/stick/), as NAME when given.\n",
        .minimumArguments = 2,
        .maximumArguments = 3,
        .run = stick,
    };
}

Command frameCommand() {
    return {
        .name = "frame",
        .summary = "print the path and size of the latest frame",
        .usage = "ROOT",
        .help = "Prints the host path of the latest frame, its size in pixels and in bytes.\n",
        .minimumArguments = 1,
        .maximumArguments = 1,
        .run = frame,
    };
}

Command logsCommand() {
    return {
        .name = "logs",
        .summary = "print the loader output or another log of the unit",
        .usage = "ROOT [loader|install|slog|commands|received]",
        .help =
            "Prints the loader output (the default), the install log, the system log, the "
            "stand-ins'\ncommand log, or what the stand-in drivers received.\n",
        .minimumArguments = 1,
        .maximumArguments = 2,
        .run = logs,
    };
}

}  // namespace Sim::Unitsim
