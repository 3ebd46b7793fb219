#pragma once

// Unit paths of the simulated unit's own files (beneath UNIT_ROOT, like every unit path). The
// loader never reads them; the stand-ins, unitsim and the end-to-end tests share them.
namespace Sim::UnitPaths {

// What the unit is: display type, variant, numbers, attached devices (UnitConfiguration).
inline constexpr const char* configuration = "/var/sim/unit.conf";
// The 256-byte factory data blocks the IPL control stand-in serves: blockN.bin, N = 1, 2, 3.
inline constexpr const char* factoryDataFolder = "/var/sim/factory/";
// Folder of platform tools that the payloads do not carry (waitfor, sync), second on PATH.
inline constexpr const char* platformToolsFolder = "/var/sim/bin/";
// One line per stand-in run: its name and arguments, separated by single blanks.
inline constexpr const char* commandsLog = "/var/log/sim/commands.log";
// What the stand-in drivers received: NAME.log (one line per request) and NAME.bin (data).
inline constexpr const char* receivedFolder = "/var/sim/received/";
// Written by the I2C stand-in when the power-management IC is told to reset the unit.
inline constexpr const char* resetMarker = "/var/run/reset";
// One file per running stand-in process, named after its process id, holding its name.
inline constexpr const char* processFolder = "/var/run/standin/";
// The process group of the running unit (the loader and every stand-in it started).
inline constexpr const char* unitProcessGroup = "/var/run/unit.pgid";
// The process id of the unitsim supervisor watching a running unit.
inline constexpr const char* supervisorProcess = "/var/run/supervisor.pid";
// How the last run ended: "reset", "exit N", "signal N", "stopped" or "timeout".
inline constexpr const char* runOutcome = "/var/run/outcome";
// The loader's standard output and standard error.
inline constexpr const char* loaderOutput = "/var/log/loader.out";

}  // namespace Sim::UnitPaths
