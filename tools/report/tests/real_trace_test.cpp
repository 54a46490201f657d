// The report over a trace that scalepoll itself wrote, against scalepoll-sim:
// every line the writer gives is one the report understands, and the counts
// are those of the runs, also when many runs write into one trace at once.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/report/ReportOutput.h"
#include "tools/report/Timeline.h"
#include "tools/report/TraceTally.h"

namespace {

// Station 3 answers 1250; station 7's readings disagree, so the run ends at
// once with "2;Modem error". COM1 is the simulator's pseudo-terminal, the
// other ports paths that do not exist.
std::string TracedRun(const std::string& tracePath) {
    const std::string command = "SCALEPOLL_TRACE='" + tracePath + "' " SCALEPOLL_SIM_BINARY
                                " --station 3:weight=1250 --station 7:weight=500,disagree -- " SCALEPOLL_BINARY
                                " COM1 9600 8 None 1 3 7";
    std::FILE* output = popen(command.c_str(), "r");
    if (!output) return "";
    std::string line;
    char chunk[256];
    while (const std::size_t got = std::fread(chunk, 1, sizeof chunk, output)) line.append(chunk, got);
    pclose(output);
    return line;
}

// Runs the shell commands at once, each with SCALEPOLL_TRACE set to `trace`,
// and waits for all of them.
void RunAtOnce(const std::filesystem::path& trace, const std::vector<std::string>& commands) {
    std::string script = "export SCALEPOLL_TRACE='" + trace.string() + "'; ";
    for (const std::string& command : commands) script += "( " + command + " ) >/dev/null 2>&1 & ";
    script += "wait";
    ASSERT_EQ(std::system(script.c_str()), 0);
}

TraceSummary SummariseFile(const std::filesystem::path& trace, std::string& text) {
    std::ifstream file(trace, std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    text = bytes.str();
    TraceTally tally;
    LineSplitter splitter([&](std::string_view line) { tally.Add(line); });
    splitter.Feed(text);
    return tally.End(splitter.EndedMidLine());
}

const std::string kMissingPorts = "SCALEPOLL_COM1=/nonexistent/ttyUSB7 SCALEPOLL_COM2=/nonexistent/a "
                                  "SCALEPOLL_COM3=/nonexistent/b SCALEPOLL_COM4=/nonexistent/c ";

// Three runs at once on three lines: station 3 answers on one, gives only
// wrong-address replies on another, and the third line's device is missing.
TEST(RealTraceTest, RunsAtOnceOnSeveralLinesAreCountedPerLine) {
    const std::filesystem::path trace = std::filesystem::path(::testing::TempDir()) / "real_trace_lines.txt";
    std::filesystem::remove(trace);
    RunAtOnce(trace, {SCALEPOLL_SIM_BINARY " --station 3:weight=1250 --station 12:weight=40 -- " SCALEPOLL_BINARY
                                           " COM1 9600 8 None 1 3 12",
                      SCALEPOLL_SIM_BINARY " --station 3:wrong-address -- " SCALEPOLL_BINARY " COM1 9600 8 None 1 3",
                      kMissingPorts + SCALEPOLL_BINARY " COM1 9600 8 None 1 3"});
    std::string text;
    const TraceSummary summary = SummariseFile(trace, text);
    EXPECT_EQ(summary.oddLines, 0u) << "first at line " << summary.firstOddLine.value_or(0) << "\n" << text;
    EXPECT_EQ(summary.runs, 3u);
    EXPECT_EQ(summary.resultsOk, 3u);
    ASSERT_EQ(summary.lines.size(), 3u) << text;
    for (const LineCounts& line : summary.lines) {
        SCOPED_TRACE(line.device);
        EXPECT_EQ(line.runs, 1u);
        const StationCounts& three = line.stations[3];
        EXPECT_EQ(three.runs, 1u);
        if (line.device == "/nonexistent/ttyUSB7") {
            EXPECT_EQ(line.openFailures.All().at("missing"), 1u);
            EXPECT_EQ(three.requests, 0u);
            EXPECT_EQ(three.lineFailed, 1u);
        } else if (line.stations[12].Seen()) {
            EXPECT_EQ(three.answeredFirstTry, 1u);
            EXPECT_EQ(line.stations[12].answeredFirstTry, 1u);
        } else {
            EXPECT_EQ(three.requests, 3u);
            EXPECT_EQ(three.silent, 1u);
            EXPECT_EQ(three.notTaken.All().at("address"), 3u);
        }
    }
}

// 24 runs at once into one file: every line understood, every run whole,
// and no run's lines mixed with another's (each run's reply is its own).
TEST(RealTraceTest, ManyRunsAtOnceAreNeitherLostNorMixed) {
    constexpr int kRuns = 24;
    const std::filesystem::path trace = std::filesystem::path(::testing::TempDir()) / "real_trace_many.txt";
    std::filesystem::remove(trace);
    std::vector<std::string> commands;
    for (int run = 0; run < kRuns; ++run) {
        commands.push_back(SCALEPOLL_SIM_BINARY " --station 3:weight=" + std::to_string(1000 + run) +
                           " -- " SCALEPOLL_BINARY " COM1 9600 8 None 1 3");
    }
    RunAtOnce(trace, commands);
    std::string text;
    const TraceSummary summary = SummariseFile(trace, text);
    EXPECT_EQ(summary.oddLines, 0u) << "first at line " << summary.firstOddLine.value_or(0);
    EXPECT_FALSE(summary.cutAtEnd);
    EXPECT_EQ(summary.runs, static_cast<std::uint64_t>(kRuns));
    EXPECT_EQ(summary.unfinishedRuns, 0u);
    EXPECT_EQ(summary.resultsOk, static_cast<std::uint64_t>(kRuns));
    EXPECT_EQ(summary.lines.size(), static_cast<std::size_t>(kRuns));
    for (const LineCounts& line : summary.lines) EXPECT_EQ(line.stations[3].answeredFirstTry, 1u) << line.device;
    for (std::uint64_t number = 1; number <= kRuns; ++number) {
        TimelineCollector collector(number);
        LineSplitter splitter([&](std::string_view line) { collector.Add(line); });
        splitter.Feed(text);
        std::string weight, result;
        for (const TimelineEvent& event : collector.Run().events) {
            if (event.kind == TraceKind::Reply) weight = Tokens(event.Body()).Value("weight").value_or("");
            if (event.kind == TraceKind::Result) result = event.Body();
        }
        EXPECT_EQ(result, "0;3,0," + weight) << "run " << number;
    }
}

TEST(RealTraceTest, TheReportUnderstandsEveryLineScalepollWrites) {
    const std::filesystem::path trace = std::filesystem::path(::testing::TempDir()) / "real_trace_test.txt";
    std::filesystem::remove(trace);
    ASSERT_EQ(TracedRun(trace.string()), "2;Modem error");
    ASSERT_EQ(TracedRun(trace.string()), "2;Modem error");

    std::ifstream file(trace, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    TraceTally tally;
    LineSplitter splitter([&](std::string_view line) { tally.Add(line); });
    splitter.Feed(text.str());
    const TraceSummary& summary = tally.End(splitter.EndedMidLine());

    EXPECT_EQ(summary.oddLines, 0u) << "first at line " << summary.firstOddLine.value_or(0) << "\n" << text.str();
    EXPECT_FALSE(summary.cutAtEnd);
    EXPECT_EQ(summary.runs, 2u);
    EXPECT_EQ(summary.undatedRuns, 0u);
    EXPECT_EQ(summary.resultsModemError, 2u);
    ASSERT_EQ(summary.latestModemErrorRuns.size(), 2u);
    EXPECT_EQ(summary.latestModemErrorRuns.back().number, 2u);
    // The simulator gives each run a pseudo-terminal of its own: the two runs
    // are on one line or on two, as the system hands the terminals out.
    std::uint64_t runs = 0, opened = 0;
    for (const LineCounts& line : summary.lines) {
        SCOPED_TRACE(line.device);
        runs += line.runs;
        opened += line.opened;
        for (const int number : {3, 7}) {
            const StationCounts& station = line.stations[number];
            EXPECT_EQ(station.runs, line.runs) << number;
            EXPECT_EQ(station.requests, line.runs) << number;
            EXPECT_EQ(station.answeredFirstTry, line.runs) << number;
            EXPECT_EQ(station.silent, 0u) << number;
            // The simulator answers after 100 ms, read at the next 50 ms tick.
            EXPECT_GE(station.answerMs.Percentile(50), 100) << number;
            EXPECT_LT(station.answerMs.Worst(), 1000) << number;
            EXPECT_TRUE(station.lastHeardUtcMs.has_value()) << number;
        }
        EXPECT_EQ(line.stations[7].modemErrors.All().at("disagree"), line.runs);
        EXPECT_NE(JsonReport(summary).find("\"modem_errors\":{\"disagree\":" + std::to_string(line.runs) + "}"),
                  std::string::npos);
    }
    EXPECT_EQ(runs, 2u);
    EXPECT_EQ(opened, 2u);
}

}  // namespace
