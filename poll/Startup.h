// Start-up: the tool's entry, from the command line to the end of the run.
#pragma once

#include <string>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/SerialPort.h"
#include "platform/TextOutput.h"

// Checks the parameters (serial port, speed, data bits, parity, stop bits,
// then one station number each), builds the forms, opens the port, runs the
// one weighing run and returns when its result line has been written.
void RunTool(const std::vector<std::string>& parameters, EventLoop& loop, TextOutput& output,
             SerialPorts& ports);
