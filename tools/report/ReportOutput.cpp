#include "tools/report/ReportOutput.h"

#include <algorithm>
#include <cstdio>

// Literals as std::string ("..."s): a concatenation that starts with one only
// appends, where const char* + std::string inserts at the front, which GCC 12
// at -O2 warns of wrongly (-Wrestrict).
using namespace std::string_literals;

namespace {

std::string Number(std::uint64_t value) { return std::to_string(value); }

std::string Runs(std::uint64_t count) { return Number(count) + (count == 1 ? " run" : " runs"); }

std::string UtcOr(const std::optional<std::int64_t>& utcMs, std::string_view none) {
    return utcMs ? FormatUtcTime(*utcMs) : std::string(none);
}

// "checksum 4, sequence 1"
std::string ReasonList(const ReasonCounts& counts) {
    std::string text;
    for (const auto& [reason, count] : counts.All()) {
        if (!text.empty()) text += ", ";
        text += reason + " " + Number(count);
    }
    return text;
}

std::string JsonReasons(const ReasonCounts& counts) {
    std::string text = "{";
    for (const auto& [reason, count] : counts.All()) {
        if (text.size() > 1) text += ",";
        text += JsonString(reason) + ":" + Number(count);
    }
    return text + "}";
}

// Only the bytes a terminal shows as they are; anything else as '?'.
std::string Printable(std::string_view text) {
    std::string shown(text);
    for (char& ch : shown) {
        if (ch < ' ' || ch > '~') ch = '?';
    }
    return shown;
}

std::string LineName(const LineCounts& line) {
    if (!line.Named()) return "(no port line)";
    if (line.port == "other") return "other lines (more than "s + std::to_string(TraceSummary::kMostLines) + ", together)";
    return line.port + " " + Printable(line.device);
}

std::string StationTable(const LineCounts& line) {
    std::string text =
        "station   runs  asked  1st try  later   late  silent  lost  line failed  median ms  p95 ms  worst ms  last heard\n";
    std::string notes;
    for (int number = 1; number <= kLastStation; ++number) {
        const StationCounts& station = line.stations[number];
        if (!station.Seen()) continue;
        const AnswerTimes& times = station.answerMs;
        const auto time = [&](std::int64_t ms) { return times.Count() ? std::to_string(ms) : std::string("-"); };
        char row[240];
        std::snprintf(row, sizeof row, "%7d %6s %6s %8s %6s %6s %7s %5s %12s %10s %7s %9s  %s\n", number,
                      Number(station.runs).c_str(), Number(station.requests).c_str(),
                      Number(station.answeredFirstTry).c_str(), Number(station.answeredLaterTry).c_str(),
                      Number(station.late).c_str(), Number(station.silent).c_str(),
                      Number(station.replyDropped).c_str(), Number(station.lineFailed).c_str(),
                      time(times.Percentile(50)).c_str(), time(times.Percentile(95)).c_str(),
                      time(times.Worst()).c_str(), UtcOr(station.lastHeardUtcMs, "never").c_str());
        text += row;
        const std::string who = "  station "s + std::to_string(number) + ": ";
        if (station.repliesLost) {
            notes += who + "its reply lost to the 112-byte rule " + Number(station.repliesLost) +
                     (station.repliesLost == 1 ? " time" : " times") + " (" + Runs(station.replyDropped) +
                     " with no other reply taken): bytes before it (noise) pushed the reply buffer past 112 "
                     "bytes, and the bytes thrown away held its whole reply\n";
        }
        if (!station.notTaken.Empty()) notes += who + "replies not taken while asked: " + ReasonList(station.notTaken) + "\n";
        if (!station.modemErrors.Empty()) notes += who + "modem errors: " + ReasonList(station.modemErrors) + "\n";
    }
    return text + notes;
}

std::string LineSection(const LineCounts& line) {
    std::string text = "line "s + LineName(line) + ": " + Runs(line.runs);
    if (line.Named()) text += ", opened "s + Number(line.opened);
    if (!line.openFailures.Empty()) text += "; open failed: "s + ReasonList(line.openFailures);
    if (!line.settingsRefused.Empty()) text += "; settings refused: "s + ReasonList(line.settingsRefused);
    text += "\n";
    const bool anyStation = std::any_of(line.stations.begin(), line.stations.end(),
                                        [](const StationCounts& station) { return station.Seen(); });
    return anyStation ? text + StationTable(line) : text;
}

// Each device a COMn stood for, with its own counts.
std::string PortLines(const TraceSummary& summary) {
    std::string text;
    for (int number = 1; number <= TraceSummary::kPorts; ++number) {
        const std::string name = "COM"s + std::to_string(number);
        for (const LineCounts& line : summary.lines) {
            if (line.port != name) continue;
            text += "  "s + name + " (" + Printable(line.device) + "): opened " + Number(line.opened);
            if (!line.openFailures.Empty()) text += "; open failed: "s + ReasonList(line.openFailures);
            if (!line.settingsRefused.Empty()) text += "; settings refused: "s + ReasonList(line.settingsRefused);
            text += "\n";
        }
    }
    return text.empty() ? text : "ports:\n"s + text;
}

std::string RunsLine(const TraceSummary& summary) {
    std::string text = "runs: "s + Number(summary.runs);
    if (summary.firstUtcMs) text += ", "s + FormatUtcTime(*summary.firstUtcMs) + " to " + FormatUtcTime(*summary.lastUtcMs);
    if (summary.undatedRuns) text += "; "s + Number(summary.undatedRuns) + " undated (older versions)";
    if (summary.unfinishedRuns) text += "; "s + Number(summary.unfinishedRuns) + " without a result line";
    if (summary.runsClosedEarly) {
        text += " ("s + Number(summary.runsClosedEarly) + " closed while still writing: more than " +
                std::to_string(RunSorter::kMostOpenRuns) + " runs open at once)";
    }
    return text + "\n";
}

std::string LinesLine(const TraceSummary& summary) {
    std::string text = "trace lines: "s + Number(summary.traceLines);
    if (summary.oddLines) {
        text += ", "s + Number(summary.oddLines) + " not understood (first: line " + Number(*summary.firstOddLine) + ")";
    }
    if (summary.linesLostByWriter) text += ", "s + Number(summary.linesLostByWriter) + " lost by the trace writer";
    if (summary.cutAtEnd) text += ", the last one cut off";
    return text + "\n";
}

// "runs 950 (2026-12-11T05:57:50.123Z), 970 (undated)"
std::string RunList(const std::vector<RunMention>& runs) {
    std::string text;
    for (const RunMention& run : runs) {
        if (!text.empty()) text += ", ";
        text += Number(run.number);
        text += " (" + UtcOr(run.startUtcMs, "undated") + ")";
    }
    return text;
}

std::string JsonRunList(const std::vector<RunMention>& runs) {
    std::string text;
    for (const RunMention& run : runs) {
        text += (text.empty() ? ""s : ","s) + "{\"run\":" + Number(run.number) + ",\"start\":" +
                (run.startUtcMs ? JsonString(FormatUtcTime(*run.startUtcMs)) : "null") + "}";
    }
    return "["s + text + "]";
}

std::string JsonTime(const AnswerTimes& times, std::int64_t ms) {
    return times.Count() ? std::to_string(ms) : std::string("null");
}

std::string JsonStation(const StationCounts& station) {
    const AnswerTimes& times = station.answerMs;
    return "{\"runs\":"s + Number(station.runs) + ",\"requests\":" + Number(station.requests) +
           ",\"answered_first_try\":" + Number(station.answeredFirstTry) +
           ",\"answered_later_try\":" + Number(station.answeredLaterTry) + ",\"late\":" + Number(station.late) +
           ",\"silent\":" + Number(station.silent) + ",\"reply_lost_to_112_byte_rule\":" +
           Number(station.replyDropped) + ",\"line_failed\":" + Number(station.lineFailed) +
           ",\"dropped_holding_its_reply\":" + Number(station.repliesLost) +
           ",\"not_taken\":" + JsonReasons(station.notTaken) + ",\"modem_errors\":" + JsonReasons(station.modemErrors) +
           ",\"answer_ms\":{\"median\":" + JsonTime(times, times.Percentile(50)) +
           ",\"p95\":" + JsonTime(times, times.Percentile(95)) + ",\"max\":" + JsonTime(times, times.Worst()) +
           ",\"count\":" + Number(times.Count()) + "},\"last_heard\":" +
           (station.lastHeardUtcMs ? JsonString(FormatUtcTime(*station.lastHeardUtcMs)) : "null") + "}";
}

std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

std::string JsonLine(const LineCounts& line) {
    std::string stations;
    for (int number = 1; number <= kLastStation; ++number) {
        if (!line.stations[number].Seen()) continue;
        stations += (stations.empty() ? ""s : ","s) + JsonString(std::to_string(number)) + ":" +
                    JsonStation(line.stations[number]);
    }
    return "{\"port\":"s + JsonOrNull(line.port) + ",\"device\":" + JsonOrNull(line.device) +
           ",\"runs\":" + Number(line.runs) + ",\"opened\":" + Number(line.opened) +
           ",\"open_failures\":" + JsonReasons(line.openFailures) +
           ",\"settings_refused\":" + JsonReasons(line.settingsRefused) + ",\"stations\":{" + stations + "}}";
}

// {"COM1":[{"device":...,"opened":...},...]}: each device a COMn stood for.
std::string JsonPorts(const TraceSummary& summary) {
    std::string ports;
    for (int number = 1; number <= TraceSummary::kPorts; ++number) {
        const std::string name = "COM"s + std::to_string(number);
        std::string devices;
        for (const LineCounts& line : summary.lines) {
            if (line.port != name) continue;
            devices += (devices.empty() ? ""s : ","s) + "{\"device\":" + JsonString(line.device) +
                       ",\"opened\":" + Number(line.opened) + ",\"open_failures\":" + JsonReasons(line.openFailures) +
                       ",\"settings_refused\":" + JsonReasons(line.settingsRefused) + "}";
        }
        if (!devices.empty()) ports += (ports.empty() ? ""s : ","s) + JsonString(name) + ":[" + devices + "]";
    }
    return "{"s + ports + "}";
}

std::string JsonUtc(const std::optional<std::int64_t>& utcMs) {
    return utcMs ? JsonString(FormatUtcTime(*utcMs)) : "null";
}

}  // namespace

std::string TextReport(const TraceSummary& summary) {
    std::string text = RunsLine(summary);
    text += "results: "s + Number(summary.resultsOk) + " ok, " + Number(summary.resultsModemError) + " modem error, " +
            Number(summary.resultsNotEnoughParameters) + " not enough parameters\n";
    if (!summary.latestModemErrorRuns.empty()) {
        text += "latest runs with a modem error: ";
        text += RunList(summary.latestModemErrorRuns) + "\n";
    }
    for (const LineCounts& line : summary.lines) text += "\n"s + LineSection(line);
    text += "\n";
    if (!summary.notTaken.Empty()) text += "replies not taken, all lines: "s + ReasonList(summary.notTaken) + "\n";
    text += PortLines(summary);
    if (!summary.faults.Empty()) text += "faults: "s + ReasonList(summary.faults) + "\n";
    return text + LinesLine(summary);
}

std::string JsonReport(const TraceSummary& summary) {
    std::string text = "{\"format\":2,\"runs\":"s + Number(summary.runs) + ",\"undated_runs\":" +
                       Number(summary.undatedRuns) + ",\"unfinished_runs\":" + Number(summary.unfinishedRuns) +
                       ",\"runs_closed_early\":" + Number(summary.runsClosedEarly) +
                       ",\"first\":" + JsonUtc(summary.firstUtcMs) + ",\"last\":" + JsonUtc(summary.lastUtcMs) +
                       ",\"results\":{\"ok\":" + Number(summary.resultsOk) +
                       ",\"modem_error\":" + Number(summary.resultsModemError) +
                       ",\"not_enough_parameters\":" + Number(summary.resultsNotEnoughParameters) + "}" +
                       ",\"latest_modem_error_runs\":" + JsonRunList(summary.latestModemErrorRuns);
    std::string lines;
    for (const LineCounts& line : summary.lines) lines += (lines.empty() ? ""s : ","s) + JsonLine(line);
    text += ",\"lines\":["s + lines + "],\"ports\":" + JsonPorts(summary);
    text += ",\"not_taken\":"s + JsonReasons(summary.notTaken) + ",\"faults\":" + JsonReasons(summary.faults);
    text += ",\"trace_lines\":"s + Number(summary.traceLines) + ",\"odd_lines\":" + Number(summary.oddLines) +
            ",\"first_odd_line\":" + (summary.firstOddLine ? Number(*summary.firstOddLine) : "null") +
            ",\"lines_lost_by_writer\":" + Number(summary.linesLostByWriter) +
            ",\"cut_at_end\":" + (summary.cutAtEnd ? "true" : "false") + "}\n";
    return text;
}

std::string JsonString(std::string_view text) {
    std::string quoted = "\"";
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            quoted += '\\';
            quoted += ch;
        } else if (byte < 0x20 || byte > 0x7e) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            quoted += escape;
        } else {
            quoted += ch;
        }
    }
    return quoted + "\"";
}
