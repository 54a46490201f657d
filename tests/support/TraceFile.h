// Reading a line trace file in tests: the run mark a line begins with, and
// the lines of one kind, without their run marks and time stamps, as the
// runs wrote them.
#pragma once

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/Program.h"

// The run mark and the blank after it that begin `line` ("r27709-9f3c01ab "),
// as the mark alone; nothing when the line does not begin so.
inline std::optional<std::string> RunMarkOf(std::string_view line) {
    const auto digits = [](std::string_view text, std::string_view allowed) {
        return !text.empty() && text.find_first_not_of(allowed) == std::string_view::npos;
    };
    const std::size_t dash = line.find('-');
    if (!line.starts_with('r') || dash == std::string_view::npos || line.size() < dash + 10 || line[dash + 9] != ' ')
        return std::nullopt;
    if (!digits(line.substr(1, dash - 1), "0123456789") || !digits(line.substr(dash + 1, 8), "0123456789abcdef"))
        return std::nullopt;
    return std::string(line.substr(0, dash + 9));
}

inline std::vector<std::string> TraceLines(const std::filesystem::path& trace, const std::string& kind) {
    std::vector<std::string> found;
    std::istringstream lines(ReadWholeFile(trace));
    for (std::string line; std::getline(lines, line);) {
        if (const auto mark = RunMarkOf(line)) line.erase(0, mark->size() + 1);
        if (line.size() > 17 && line.compare(8, kind.size() + 1, kind + ' ') == 0) found.push_back(line.substr(17));
    }
    return found;
}
