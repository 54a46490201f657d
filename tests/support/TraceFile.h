// Reading a line trace file in tests: the lines of one kind, without their
// run marks and time stamps, as the runs wrote them.
#pragma once

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/Program.h"

inline std::vector<std::string> TraceLines(const std::filesystem::path& trace, const std::string& kind) {
    std::vector<std::string> found;
    std::istringstream lines(ReadWholeFile(trace));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with('r')) line.erase(0, line.find(' ') + 1);
        if (line.size() > 17 && line.compare(8, kind.size() + 1, kind + ' ') == 0) found.push_back(line.substr(17));
    }
    return found;
}
