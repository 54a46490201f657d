// Runs the command the simulator was given. The command inherits standard
// input, output and error unchanged, and finds the line through
// SCALEPOLL_COM1 ... SCALEPOLL_COM4: the chosen port names the line, the other
// three name paths that do not exist.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Throws std::system_error when the command cannot be started.
pid_t StartCommand(const std::vector<std::string>& command, int port, const std::string& linePath);

// The simulator's exit status for a wait status of the command: its exit
// code, or 128 + the signal that ended it.
int ExitStatusOf(int waitStatus);
