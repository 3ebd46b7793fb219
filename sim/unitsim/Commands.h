#pragma once

#include "CoreSystem/Command.h"
#include "CoreSystem/CommandLine.h"

// The commands of unitsim; main.cpp lists them. A wrong call throws UsageError, work that could
// not be done throws CommandFailure.
namespace Sim::Unitsim {

using CoreSystem::Command;
using CoreSystem::CommandLine;
using CoreSystem::OptionKind;

Command makeCommand();
Command startCommand();
Command runCommand();
Command waitCommand();
Command pressCommand();
Command releaseCommand();
Command clickCommand();
Command touchCommand();
Command stickCommand();
Command gpioCommand();
Command frameCommand();
Command logsCommand();
Command panelCommand();
Command stopCommand();

}  // namespace Sim::Unitsim
