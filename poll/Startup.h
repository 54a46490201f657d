// Start-up: the tool's entry, from the command line to the end of the run.
#pragma once

#include <string>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/SerialPort.h"
#include "platform/TextOutput.h"
#include "poll/PollObserver.h"

// Checks the parameters (serial port, speed, data bits, parity, stop bits,
// then one station number each), builds the forms, opens the port, runs the
// one weighing run and returns when its result line has been written. The
// observer hears the poll cycle's decisions (the line trace).
void RunTool(const std::vector<std::string>& parameters, EventLoop& loop, TextOutput& output,
             SerialPorts& ports, PollObserver& observer = NoPollObserver());
