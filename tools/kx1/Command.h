#pragma once

#include "CoreSystem/Command.h"
#include "CoreSystem/CommandLine.h"

namespace Kx1 {

using CoreSystem::Command;
using CoreSystem::CommandLine;
using CoreSystem::exitSuccess;
using CoreSystem::OptionKind;
using CoreSystem::UsageError;

// The subcommands of kx1, each defined in its own file; Main.cpp lists them.
Command keygenCommand();
Command packCommand();
Command inspectCommand();
Command verifyCommand();
Command sealCommand();
Command planCommand();
Command extractCommand();
Command crcCommand();
Command dfuMakeCommand();
Command dfuCheckCommand();

}  // namespace Kx1
