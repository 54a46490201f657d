// scalepoll-report's trace reader on arbitrary bytes, fed in two chunks: the
// counts stay consistent (every run that asked a station either had it
// answer at the first try, at a later one, or found it silent; the answer
// times are ordered), and the text, JSON and timeline outputs hold nothing
// but printable ASCII and line ends, whatever the trace held.
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
    for (int number = 1; number <= TraceSummary::kStations; ++number) {
        const StationCounts& station = summary.stations[number];
        Require(station.answeredFirstTry + station.answeredLaterTry + station.silent == station.runs,
                "each run that asked a station answered it or found it silent");
        Require(station.runs <= station.requests, "a run that asks a station sends it a request");
        const AnswerTimes& times = station.answerMs;
        Require(times.Count() <= station.answeredFirstTry + station.answeredLaterTry, "one answer time per answer");
        Require(times.Percentile(50) <= times.Percentile(95) && times.Percentile(95) <= times.Worst(),
                "median <= p95 <= worst");
    }
}

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
    Require(summary.oddLines <= summary.lines, "odd lines are lines");
    Require(summary.resultsOk + summary.resultsModemError + summary.resultsNotEnoughParameters <= summary.lines,
            "results are lines");
    CheckStations(summary);
    Require(PrintableLines(TextReport(summary)), "the text report is printable");
    Require(PrintableLines(JsonReport(summary)), "the JSON report is printable ASCII");
    Require(PrintableLines(TimelineSvg(collector.Run())), "the timeline is printable ASCII");
    return 0;
}
