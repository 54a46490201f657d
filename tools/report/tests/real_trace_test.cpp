// The report over a trace that scalepoll itself wrote, against scalepoll-sim:
// every line the writer gives is one the report understands, and the counts
// are those of the runs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/report/ReportOutput.h"
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
    for (const int number : {3, 7}) {
        const StationCounts& station = summary.lines.at(0).stations[number];
        EXPECT_EQ(station.runs, 2u) << number;
        EXPECT_EQ(station.requests, 2u) << number;
        EXPECT_EQ(station.answeredFirstTry, 2u) << number;
        EXPECT_EQ(station.silent, 0u) << number;
        // The simulator answers after 100 ms, read at the next 50 ms tick.
        EXPECT_GE(station.answerMs.Percentile(50), 100) << number;
        EXPECT_LT(station.answerMs.Worst(), 1000) << number;
        EXPECT_TRUE(station.lastHeardUtcMs.has_value()) << number;
    }
    EXPECT_EQ(summary.lines.at(0).stations[7].modemErrors.All().at("disagree"), 2u);
    EXPECT_EQ(summary.lines.at(0).opened, 2u);
    EXPECT_NE(JsonReport(summary).find("\"modem_errors\":{\"disagree\":2}"), std::string::npos);
}

}  // namespace
