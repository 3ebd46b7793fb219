#pragma once

#include "sim/tools/ToolCall.h"

// The kinds of stand-in tool; each returns the tool's exit status.
namespace Sim::Tools {

// waitfor PATH [SECONDS]: polls until the path exists.
int runWaitfor(const ToolCall& call);
// The host's own shell tool, by absolute path, once every path it would touch is inside the root.
int runHandOver(const ToolCall& call);
// slay: ends the unit's own stand-ins of one name in the caller's process group.
int runSlay(const ToolCall& call);
// Tools, daemons and the companion whose effect on the unit is only their record.
int runRecordOnly(const ToolCall& call);
// The eMMC partition table.
int runFdisk(const ToolCall& call);
// mount: partition paths of a device, file-system mounts, and records of the others.
int runMount(const ToolCall& call);
int runUmount(const ToolCall& call);
// mkqnx6fs and chkqnx6fs on a partition path.
int runMakeFileSystem(const ToolCall& call);
int runCheckFileSystem(const ToolCall& call);

}  // namespace Sim::Tools
