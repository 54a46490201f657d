// The simulator's command line: the options before "--", and the command to
// run after it. The help text describes them all.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tools/sim/LineFaults.h"
#include "tools/sim/Station.h"

struct SimOptions {
    std::map<int, StationScript> stations;  // stations not in it are silent
    int baud = 9600;
    int port = 1;            // the SCALEPOLL_COMn that names the line
    std::string device;      // empty: a new pseudo-terminal
    std::string recordPath;  // empty: no record
    std::string logPath;     // empty: no log; "-": standard error
    std::vector<std::string> command;
    LineFaults faults;
    bool help = false;
    bool version = false;
};

// Throws UsageError.
SimOptions ParseOptions(const std::vector<std::string>& arguments);

std::string_view HelpText();
