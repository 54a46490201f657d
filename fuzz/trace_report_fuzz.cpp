// scalepoll-report's trace reader on arbitrary bytes, run marks and all, fed
// in two chunks: the counts stay consistent (every run that asked a station
// counts once on its line: answered at the first try, a later one, late,
// silent, its reply lost to the 112-byte rule, or its line failed; the answer
// times are ordered), the text, JSON and timeline outputs hold nothing but
// printable ASCII and line ends, and the timeline's size stays within a
// bound per trace line, whatever the trace held (libFuzzer's time and memory
// limits hold the rest).
//
// Input: one byte for where to split the rest, then the trace.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/Require.h"
#include "tools/report/ReportOutput.h"
#include "tools/report/Timeline.h"

namespace {

bool PrintableLines(std::string_view text) {
    for (const char ch : text) {
        if ((ch < ' ' || ch > '~') && ch != '\n') return false;
    }
    return true;
}

void CheckStations(const TraceSummary& summary) {
    Require(summary.lines.size() <= TraceSummary::kMostLines + 1, "lines past the bound are counted together");
    for (const LineCounts& line : summary.lines) {
        for (int number = 1; number <= kLastStation; ++number) {
            const StationCounts& station = line.stations[number];
            const std::uint64_t answered = station.answeredFirstTry + station.answeredLaterTry + station.late;
            Require(answered + station.silent + station.replyDropped + station.lineFailed == station.runs,
                    "each run that asked a station counts once by how it went");
            const AnswerTimes& times = station.answerMs;
            Require(times.Count() <= answered, "one answer time per answer");
            Require(times.Percentile(50) <= times.Percentile(95) && times.Percentile(95) <= times.Worst(),
                    "median <= p95 <= worst");
        }
    }
}

// A fixed frame, a few lanes, and per trace line a mark, a bar or a chunk,
// with its whole line for hovering: in its own mark, the try it begins and
// the tries it ends (one a station at most), escaped in up to six bytes a
// byte.
constexpr std::size_t kTimelineFixedBytes = 64 * 1024;
constexpr std::size_t kTimelineBytesPerLine = 2 * 1024;
constexpr std::size_t kTimelineBytesPerLineByte = (2 + 14) * 6;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string_view trace(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t split = trace.size() * data[0] / 255;

    TraceTally tally;
    TimelineCollector collector(1 + data[0] % 3);
    LineSplitter splitter([&](std::string_view line) {
        tally.Add(line);
        collector.Add(line);
    });
    splitter.Feed(trace.substr(0, split));
    splitter.Feed(trace.substr(split));
    const TraceSummary& summary = tally.End(splitter.EndedMidLine());

    Require(summary.runs >= summary.undatedRuns && summary.runs >= summary.unfinishedRuns, "runs count every kind");
    Require(summary.oddLines <= summary.traceLines, "odd lines are lines");
    Require(summary.resultsOk + summary.resultsModemError + summary.resultsNotEnoughParameters <= summary.traceLines,
            "results are lines");
    CheckStations(summary);
    Require(PrintableLines(TextReport(summary)), "the text report is printable");
    Require(PrintableLines(JsonReport(summary)), "the JSON report is printable ASCII");
    const std::string svg = TimelineSvg(collector.Run());
    Require(PrintableLines(svg), "the timeline is printable ASCII");
    Require(svg.size() <= kTimelineFixedBytes + kTimelineBytesPerLine * collector.Run().events.size() +
                              kTimelineBytesPerLineByte * collector.Run().keptBytes,
            "the timeline's size is bounded per trace line");
    return 0;
}
