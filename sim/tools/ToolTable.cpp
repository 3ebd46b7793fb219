#include "sim/tools/ToolTable.h"

#include <algorithm>
#include <array>

#include "sim/tools/Tools.h"

namespace Sim::Tools {

namespace {

constexpr std::string_view handOverUsage =
    "[ARGUMENT]...  (the host's own tool; paths in the unit)";
constexpr std::string_view recordOnlyUsage = "[ARGUMENT]...  (recorded only)";

constexpr auto tools = std::to_array<ToolEntry>({
    {"waitfor", runWaitfor, "PATH [SECONDS]"},
    {"sync", runRecordOnly, "(recorded only)"},
    {"slay", runSlay, "[-f] [-Q] NAME"},
    {"fdisk", runFdisk, "DEVICE (show | delete -s SLOT | add -s SLOT -t TYPE -p PERCENT)"},
    {"mount", runMount, "-e DEVICE | -t qnx6 PARTITION FOLDER | -T io-pkt MODULE"},
    {"umount", runUmount, "FOLDER"},
    {"mkqnx6fs", runMakeFileSystem, "[-b BLOCKSIZE] [-q] PARTITION"},
    {"chkqnx6fs", runCheckFileSystem, "PARTITION"},
    {"cat", runHandOver, handOverUsage},
    {"chmod", runHandOver, handOverUsage},
    {"cp", runHandOver, handOverUsage},
    {"df", runHandOver, handOverUsage},
    {"grep", runHandOver, handOverUsage},
    {"ln", runHandOver, handOverUsage},
    {"ls", runHandOver, handOverUsage},
    {"mkdir", runHandOver, handOverUsage},
    {"mv", runHandOver, handOverUsage},
    {"pwd", runHandOver, handOverUsage},
    {"rm", runHandOver, handOverUsage},
    {"sleep", runHandOver, handOverUsage},
    {"shutdown", runRecordOnly, recordOnlyUsage},
    {"on", runRecordOnly, recordOnlyUsage},
    {"ifconfig", runRecordOnly, recordOnlyUsage},
    {"inetd", runRecordOnly, recordOnlyUsage},
    {"qconn", runRecordOnly, recordOnlyUsage},
    {"autoipd", runRecordOnly, recordOnlyUsage},
    {"pdebug", runRecordOnly, recordOnlyUsage},
    {"ping", runRecordOnly, recordOnlyUsage},
    {"ftpd", runRecordOnly, recordOnlyUsage},
    {"telnetd", runRecordOnly, recordOnlyUsage},
    {"login", runRecordOnly, recordOnlyUsage},
    {"pidin", runRecordOnly, recordOnlyUsage},
    {"sloginfo", runRecordOnly, recordOnlyUsage},
    {"use", runRecordOnly, recordOnlyUsage},
    {"usb", runRecordOnly, recordOnlyUsage},
    {"in32", runRecordOnly, recordOnlyUsage},
    {"out32", runRecordOnly, recordOnlyUsage},
    {"pwmdctl", runRecordOnly, recordOnlyUsage},
    {"rcar-wdtkick", runRecordOnly, recordOnlyUsage},
    {"pic24ctl", runRecordOnly, recordOnlyUsage},
    {"hw-init", runRecordOnly, recordOnlyUsage},
    {"hw-info", runRecordOnly, recordOnlyUsage},
    {"hw-ver", runRecordOnly, recordOnlyUsage},
    {"resource_seed", runRecordOnly, recordOnlyUsage},
    {"calibrator", runRecordOnly, recordOnlyUsage},
    {"spi-eeprom", runRecordOnly, recordOnlyUsage},
    {"iperf", runRecordOnly, recordOnlyUsage},
    {"tiwlan_cfg_ti18xx", runRecordOnly, recordOnlyUsage},
    {"wlan_cu_ti18xx", runRecordOnly, recordOnlyUsage},
    {"wpa_supplicant_ti18xx", runRecordOnly, recordOnlyUsage},
    {"wpa_cli_ti18xx", runRecordOnly, recordOnlyUsage},
    {"wpa_passphrase_ti18xx", runRecordOnly, recordOnlyUsage},
    {"hostapd_ti18xx", runRecordOnly, recordOnlyUsage},
    {"hostapd_cli_ti18xx", runRecordOnly, recordOnlyUsage},
    {"MapLoader", runRecordOnly, recordOnlyUsage},
    {"VeldApp", runRecordOnly, recordOnlyUsage},
});

}  // namespace

std::span<const ToolEntry> allTools() {
    return tools;
}

const ToolEntry* findTool(std::string_view name) {
    const auto* found = std::find_if(tools.begin(), tools.end(),
                                     [name](const ToolEntry& tool) { return tool.name == name; });
    return found == tools.end() ? nullptr : &*found;
}

}  // namespace Sim::Tools
