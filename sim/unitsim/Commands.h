#pragma once

#include <string>
#include <vector>

// The commands of unitsim. Each takes the words after its name and returns the exit status;
// a wrong call throws UsageError, work that could not be done throws CommandFailure.
namespace Sim::Unitsim {

using Words = std::vector<std::string>;

int makeCommand(const Words& words);
int startCommand(const Words& words);
int runCommand(const Words& words);
int stopCommand(const Words& words);
int waitCommand(const Words& words);
int pressCommand(const Words& words);
int releaseCommand(const Words& words);
int clickCommand(const Words& words);
int touchCommand(const Words& words);
int gpioCommand(const Words& words);
int stickCommand(const Words& words);
int frameCommand(const Words& words);
int logsCommand(const Words& words);

}  // namespace Sim::Unitsim
