// The report over a site's trace: runs that wrote into one file at once kept
// apart by their run marks, each station counted on its own line, and each
// run's outcome for a station put down to what happened: an answer (at once,
// at a later try, or late), silence, a reply lost to the 112-byte rule, or a
// line that failed before the station could be asked.
#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "tools/report/ReportOutput.h"
#include "tools/report/TraceTally.h"
#include "tools/report/tests/TraceFixtures.h"

namespace {

using Reasons = std::map<std::string, std::uint64_t, std::less<>>;

TraceSummary Summarise(std::string_view trace) {
    TraceTally tally;
    LineSplitter splitter([&](std::string_view line) { tally.Add(line); });
    splitter.Feed(trace);
    return tally.End(splitter.EndedMidLine());
}

const LineCounts* FindLine(const TraceSummary& summary, std::string_view device) {
    for (const LineCounts& line : summary.lines) {
        if (line.device == device) return &line;
    }
    return nullptr;
}

// A run's lines: its run line and port line, then `body`, then its result
// line unless it is empty.
std::vector<std::string> MarkedRun(std::string_view mark, std::string_view device, std::string_view start,
                                   const std::vector<std::pair<std::int64_t, std::string>>& body,
                                   std::string_view result) {
    std::vector<std::string> lines{
        Marked(mark, 0, "run", std::string(start) + " scalepoll 1.2.0 COM1 9600 8 None 1 3 12"),
        Marked(mark, 0, "port", "COM1 " + std::string(device)), Marked(mark, 0, "open", "ok")};
    for (const auto& [ms, kindAndBody] : body) {
        const std::size_t blank = kindAndBody.find(' ');
        lines.push_back(Marked(mark, ms, kindAndBody.substr(0, blank), kindAndBody.substr(blank + 1)));
    }
    if (!result.empty()) lines.push_back(Marked(mark, 20000, "result", result));
    return lines;
}

// Each line of `lines` (format 1) as the run marked `mark` wrote it.
std::string MarkAll(std::string_view mark, std::string_view lines) {
    std::string marked;
    for (std::size_t at = 0; at < lines.size();) {
        const std::size_t end = lines.find('\n', at) + 1;
        marked += std::string(mark) + " " + std::string(lines.substr(at, end - at));
        at = end;
    }
    return marked;
}

// Station 3 asked three times, with no answer.
std::string ThreeSilentTries() {
    std::string lines;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        const std::string who = "station=3 try=" + std::to_string(attempt);
        lines += Line(attempt * 5000, "request", who) + Line(attempt * 5000, "sent", "<2>30?M<13><4>") +
                 Line(attempt * 5000 + 5000, "timeout", who);
    }
    return lines;
}

const std::vector<std::pair<std::int64_t, std::string>> kBothAnswer{
    {5000, "request station=3 try=1"}, {5000, "sent <2>30?M<13><4>"},
    {5150, "reply taken station=3 try=1 weight=1250 settled=yes"}, {5150, "request station=12 try=1"},
    {5150, "sent <2>120?M<13><4>"}, {5300, "reply taken station=12 try=1 weight=0 settled=yes"}};
const std::vector<std::pair<std::int64_t, std::string>> kThreeSilent{
    {5000, "request station=3 try=1"},  {10000, "timeout station=3 try=1"}, {10000, "request station=3 try=2"},
    {15000, "timeout station=3 try=2"}, {15000, "request station=3 try=3"}, {20000, "timeout station=3 try=3"}};

// Runs on two lines at once, some killed before their result line: each run
// keeps its own stations, times and result.
TEST(SiteTraceTest, RunsWrittenAtOnceStayApart) {
    const auto a = MarkedRun("r100-0000000a", "/dev/pts/3", "2026-12-11T06:00:00.000Z", kBothAnswer, "0;3,0,1250;12,0,0");
    const auto b = MarkedRun("r200-0000000b", "/dev/pts/4", "2026-12-11T06:00:00.500Z", kThreeSilent, "0;3,1,0");
    const auto bKilled = MarkedRun("r200-0000000b", "/dev/pts/4", "2026-12-11T06:00:00.500Z", kThreeSilent, "");
    const auto c3 = MarkedRun("r300-0000000c", "/dev/pts/3", "2026-12-11T06:00:01.000Z", kThreeSilent, "0;3,1,0");
    struct Case {
        const char* name;
        std::vector<std::vector<std::string>> runs;
        std::uint64_t unfinished;
        std::uint64_t onPts3, silentOnPts3;  // runs on /dev/pts/3, station 3's silences there
    };
    const Case cases[] = {
        {"two, both ended", {a, b}, 0, 1, 0},
        {"two, one killed", {a, bKilled}, 1, 1, 0},
        {"three, two on one line", {a, b, c3}, 0, 2, 1},
        {"three, one killed", {c3, bKilled, a}, 1, 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TraceSummary summary = Summarise(Interleave(c.runs));
        EXPECT_EQ(summary.oddLines, 0u);
        EXPECT_EQ(summary.runs, c.runs.size());
        EXPECT_EQ(summary.undatedRuns, 0u);
        EXPECT_EQ(summary.unfinishedRuns, c.unfinished);
        EXPECT_EQ(summary.resultsOk, c.runs.size() - c.unfinished);
        const LineCounts* pts3 = FindLine(summary, "/dev/pts/3");
        const LineCounts* pts4 = FindLine(summary, "/dev/pts/4");
        ASSERT_TRUE(pts3 && pts4);
        EXPECT_EQ(pts3->runs, c.onPts3);
        const StationCounts& three = pts3->stations[3];
        EXPECT_EQ(three.answeredFirstTry, 1u);
        EXPECT_EQ(three.silent, c.silentOnPts3);
        EXPECT_EQ(three.answerMs.Worst(), 150);
        EXPECT_EQ(FormatUtcTime(*three.lastHeardUtcMs), "2026-12-11T06:00:05.150Z");  // run a's, not another's
        EXPECT_EQ(pts3->stations[12].answeredFirstTry, 1u);
        // Station 3 of the other line is another station: silent there, and 12 never asked.
        EXPECT_EQ(pts4->stations[3].silent, 1u);
        EXPECT_EQ(pts4->stations[3].requests, 3u);
        EXPECT_FALSE(pts4->stations[3].lastHeardUtcMs.has_value());
        EXPECT_FALSE(pts4->stations[12].Seen());
    }
}

// One run at a time, on one line: how each station's run is counted. Station
// 3 is asked (and 7 after it, where the case needs another station).
TEST(SiteTraceTest, EachRunCountsOnceByWhatHappened) {
    struct Outcome {
        std::uint64_t requests, first, later, late, silent, lost, lineFailed;
        Reasons notTaken;
        std::int64_t worstMs;
    };
    struct Case {
        const char* name;
        std::string body;  // the lines after the run and port lines
        std::map<int, Outcome> stations;
    };
    const std::string gone = Line(5000, "request", "station=3 try=1") + Line(5000, "sent", "<2>30?M<13><4>") +
                             Line(10000, "timeout", "station=3 try=1") + Line(10000, "request", "station=3 try=2") +
                             Line(10000, "fault", "device-gone -- the terminal hung up") +
                             Line(15000, "timeout", "station=3 try=2") + Line(15000, "request", "station=3 try=3") +
                             Line(20000, "timeout", "station=3 try=3");
    const Case cases[] = {
        {"port not opened",
         Line(1, "open", "failed permission -- Permission denied") + Line(5000, "request", "station=3 try=1") +
             Line(10000, "timeout", "station=3 try=1") + Line(10000, "request", "station=3 try=2"),
         {{3, {0, 0, 0, 0, 0, 0, 1, {}, 0}}}},
        {"device gone in the second try", Line(1, "open", "ok") + gone, {{3, {1, 0, 0, 0, 0, 0, 1, {}, 0}}}},
        {"send cut short, after a station had answered",
         Line(1, "open", "ok") + Line(5000, "request", "station=7 try=1") + Line(5000, "sent", "<2>70?M<13><0>") +
             Line(5100, "reply", "taken station=7 try=1 weight=5 settled=yes") + Line(5100, "request", "station=3 try=1") +
             Line(5100, "sent", "<2>30?M<13><4>") + Line(9100, "fault", "drain-cut-short -- stalled") +
             Line(10100, "timeout", "station=3 try=1") + Line(10100, "request", "station=3 try=2") +
             Line(10100, "sent", "<2>30?M<13><4>"),
         {{3, {0, 0, 0, 0, 0, 0, 1, {}, 0}}, {7, {1, 1, 0, 0, 0, 0, 0, {}, 100}}}},
        {"the line failed after a station's last try",
         Line(1, "open", "ok") + ThreeSilentTries() + Line(20000, "request", "station=7 try=1") +
             Line(20000, "fault", "device-gone -- the terminal hung up"),
         {{3, {3, 0, 0, 0, 1, 0, 0, {}, 0}}, {7, {0, 0, 0, 0, 0, 0, 1, {}, 0}}}},
        {"rejects while asked, whatever station the frame named",
         Line(1, "open", "ok") + Line(5000, "request", "station=3 try=1") +
             Line(5150, "reply", "not-taken reason=address -- address 0") + Line(5150, "request", "station=3 try=2") +
             Line(5300, "reply", "not-taken reason=checksum station=7") + Line(10300, "timeout", "station=3 try=2") +
             Line(10300, "request", "station=3 try=3") + Line(10450, "reply", "not-taken reason=sequence station=3") +
             Line(15450, "timeout", "station=3 try=3"),
         {{3, {3, 0, 0, 0, 1, 0, 0, {{"address", 1}, {"checksum", 1}, {"sequence", 1}}, 0}}}},
        {"its reply held in bytes dropped by the 112-byte rule",
         Line(1, "open", "ok") + Line(5000, "request", "station=3 try=1") +
             Line(5152, "reply", "dropped bytes=116 held=3 -- more than 112 bytes before the search") +
             Line(10000, "timeout", "station=3 try=1") + Line(10000, "request", "station=3 try=2") +
             Line(10152, "reply", "dropped bytes=116 held=3,5 -- they held a whole reply frame") +
             Line(15000, "timeout", "station=3 try=2"),
         {{3, {2, 0, 0, 0, 0, 1, 0, {{"dropped", 2}}, 0}}}},
        {"dropped bytes holding another station's frame",
         Line(1, "open", "ok") + Line(5000, "request", "station=3 try=1") +
             Line(5152, "reply", "dropped bytes=116 held=5 -- they held a whole reply frame") +
             Line(5200, "reply", "dropped bytes=113 held=none -- no reply frame within 112 bytes") +
             Line(10000, "timeout", "station=3 try=1"),
         {{3, {1, 0, 0, 0, 1, 0, 0, {{"dropped", 2}}, 0}}}},
        {"a late answer: bytes arriving when the try ran out",
         Line(1, "open", "ok") + Line(5001, "request", "station=3 try=1") + Line(10001, "received", "<2>0302") +
             Line(10001, "timeout", "station=3 try=1 arriving=20") + Line(10001, "request", "station=3 try=2") +
             Line(10051, "reply", "taken station=3 try=2 weight=1250 settled=yes"),
         {{3, {2, 0, 0, 1, 0, 0, 0, {}, 5050}}}},
        {"sooner after its request than the frames take on the line: the late answer to the try before",
         Line(1, "open", "ok") + Line(20003, "request", "station=3 try=1") + Line(25003, "timeout", "station=3 try=1") +
             Line(25003, "request", "station=3 try=2") + Line(25051, "reply", "taken station=3 try=2 weight=60 settled=yes"),
         {{3, {2, 0, 0, 1, 0, 0, 0, {}, 5048}}}},
        {"bytes arriving at the timeout, then a fresh answer to the next request",
         Line(1, "open", "ok") + Line(20150, "request", "station=3 try=1") +
             Line(25150, "timeout", "station=3 try=1 arriving=26") + Line(25150, "request", "station=3 try=2") +
             Line(25316, "reply", "modem-error station=3 try=2 cause=disagree reading=2"),
         {{3, {2, 0, 1, 0, 0, 0, 0, {}, 166}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string trace = Marked("r9-00000001", 0, "run", "2026-12-11T06:00:00.000Z scalepoll 1.2.0 COM1") +
                                  Marked("r9-00000001", 0, "port", "COM1 /dev/pts/3") + MarkAll("r9-00000001", c.body) +
                                  Marked("r9-00000001", 20000, "result", "0;3,1,0");
        const TraceSummary summary = Summarise(trace);
        EXPECT_EQ(summary.oddLines, 0u) << "first: line " << summary.firstOddLine.value_or(0);
        ASSERT_EQ(summary.lines.size(), 1u);
        for (const auto& [number, expected] : c.stations) {
            SCOPED_TRACE(number);
            const StationCounts& station = summary.lines[0].stations[number];
            EXPECT_EQ(station.runs, 1u);
            EXPECT_EQ(station.requests, expected.requests);
            EXPECT_EQ(station.answeredFirstTry, expected.first);
            EXPECT_EQ(station.answeredLaterTry, expected.later);
            EXPECT_EQ(station.late, expected.late);
            EXPECT_EQ(station.silent, expected.silent);
            EXPECT_EQ(station.replyDropped, expected.lost);
            EXPECT_EQ(station.lineFailed, expected.lineFailed);
            EXPECT_EQ(station.notTaken.All(), expected.notTaken);
            EXPECT_EQ(station.answerMs.Worst(), expected.worstMs);
        }
    }
}

// The report names the lines, the reply lost to the 112-byte rule and the
// late answer, and lists each device a COMn stood for.
TEST(SiteTraceTest, TheReportGroupsByLineAndNamesWhatHappened) {
    const std::string trace =
        Interleave({MarkedRun("r1-00000001", "/dev/pts/3", "2026-12-11T06:00:00.000Z",
                              {{5000, "request station=3 try=1"},
                               {5152, "reply dropped bytes=116 held=3 -- they held a whole reply frame"},
                               {10000, "timeout station=3 try=1 arriving=4"},
                               {10000, "request station=3 try=2"},
                               {10050, "reply taken station=3 try=2 weight=1250 settled=yes"}},
                              "0;3,0,1250"),
                    MarkedRun("r2-00000002", "/dev/pts/3", "2026-12-11T06:00:01.000Z",
                              {{5000, "request station=3 try=1"},
                               {5152, "reply dropped bytes=116 held=3 -- they held a whole reply frame"},
                               {10000, "timeout station=3 try=1"}},
                              "0;3,1,0")}) +
        Marked("r3-00000003", 0, "port", "COM1 /dev/ttyUSB7") +
        Marked("r3-00000003", 0, "open", "failed missing -- No such file or directory") +
        Marked("r3-00000003", 0, "result", "0;3,1,0");
    const TraceSummary summary = Summarise(trace);
    const std::string text = TextReport(summary);
    for (const char* shown :
         {"runs: 3, 2026-12-11T06:00:00.000Z to 2026-12-11T06:00:01.000Z; 1 undated (older versions)\n",
          "line COM1 /dev/pts/3: 2 runs, opened 2\n",
          "      3      2      3        0      0      1       0     1            0       5050    5050      5050",
          "station 3: its reply lost to the 112-byte rule 2 times (1 run with no other reply taken):", "replies not taken while asked: dropped 2\n",
          "line COM1 /dev/ttyUSB7: 1 run, opened 0; open failed: missing 1\n",
          "ports:\n  COM1 (/dev/pts/3): opened 2\n  COM1 (/dev/ttyUSB7): opened 0; open failed: missing 1\n"}) {
        EXPECT_NE(text.find(shown), std::string::npos) << shown << "\n" << text;
    }
    const std::string json = JsonReport(summary);
    for (const char* shown : {"{\"format\":2,", "\"late\":1,\"silent\":0,\"reply_lost_to_112_byte_rule\":1,\"line_failed\":0,"
                              "\"dropped_holding_its_reply\":2,",
                              "\"ports\":{\"COM1\":[{\"device\":\"/dev/pts/3\",\"opened\":2,",
                              "{\"device\":\"/dev/ttyUSB7\",\"opened\":0,\"open_failures\":{\"missing\":1}",
                              "\"trace_lines\":"}) {
        EXPECT_NE(json.find(shown), std::string::npos) << shown << "\n" << json;
    }
    EXPECT_EQ(json.find("\"stations\":{\"3\""), json.rfind("\"stations\":{\"3\""));  // only /dev/pts/3 asked 3
}

// A trace from before run marks, then runs with them: the old runs read as
// they always did, each new one by its mark.
TEST(SiteTraceTest, OldAndMarkedRunsInOneTrace) {
    const std::string trace = Line(5000, "request", "station=3 try=1") + Line(20000, "result", "0;3,1,0") +
                              Line(0, "run", "2026-12-11T05:00:00.000Z scalepoll 1.1.0 COM1") +
                              Line(0, "port", "COM1 /dev/pts/3") + Line(20000, "result", "0;3,1,0") +
                              Interleave({MarkedRun("r1-00000001", "/dev/pts/3", "2026-12-11T06:00:00.000Z", kBothAnswer,
                                                    "0;3,0,1250;12,0,0"),
                                          MarkedRun("r2-00000002", "/dev/pts/3", "2026-12-11T06:00:00.000Z",
                                                    kThreeSilent, "0;3,1,0")});
    const TraceSummary summary = Summarise(trace);
    EXPECT_EQ(summary.runs, 4u);
    EXPECT_EQ(summary.undatedRuns, 1u);
    EXPECT_EQ(summary.unfinishedRuns, 0u);
    EXPECT_EQ(summary.resultsOk, 4u);
    EXPECT_EQ(summary.oddLines, 0u);
    const LineCounts* pts3 = FindLine(summary, "/dev/pts/3");
    ASSERT_TRUE(pts3);
    EXPECT_EQ(pts3->runs, 3u);
    EXPECT_EQ(pts3->stations[3].silent, 1u);
    EXPECT_EQ(FindLine(summary, "")->stations[3].silent, 1u);  // the run with no port line
}

// Memory stays bounded: runs killed before their result line close when too
// many are open (the quietest first), and lines past the bound are counted
// together; nothing is lost from the totals.
TEST(SiteTraceTest, OpenRunsAndLinesAreBounded) {
    const std::size_t runs = RunSorter::kMostOpenRuns + 6;
    std::string killed;
    for (std::size_t n = 0; n < runs; ++n) {
        char mark[32];
        std::snprintf(mark, sizeof mark, "r%zu-0000abcd", n + 1);
        for (const std::string& line : MarkedRun(mark, "/dev/ttyUSB" + std::to_string(n), "2026-12-11T06:00:00.000Z",
                                                 {{5000, "request station=3 try=1"}}, "")) {
            killed += line;
        }
    }
    const TraceSummary summary = Summarise(killed);
    EXPECT_EQ(summary.runs, runs);
    EXPECT_EQ(summary.unfinishedRuns, runs);
    EXPECT_EQ(summary.runsClosedEarly, runs - RunSorter::kMostOpenRuns);
    EXPECT_EQ(summary.oddLines, 0u);
    ASSERT_EQ(summary.lines.size(), TraceSummary::kMostLines + 1);
    const LineCounts& other = summary.lines.back();
    EXPECT_EQ(other.port, "other");
    EXPECT_EQ(other.runs, runs - TraceSummary::kMostLines);
    EXPECT_EQ(other.stations[3].silent, runs - TraceSummary::kMostLines);
    EXPECT_NE(TextReport(summary).find("closed while still writing"), std::string::npos);
}

// Lines a hostile or damaged trace may hold: each is counted as not
// understood, and a long line costs no more than its length.
TEST(SiteTraceTest, DamagedAndHostileLines) {
    const std::string mark = "r5-00000005";
    const std::string head = Marked(mark, 0, "run", "2026-12-11T06:00:00.000Z scalepoll 1.2.0 COM1") +
                             Marked(mark, 0, "port", "COM1 /dev/pts/3") + Marked(mark, 5000, "request", "station=3 try=1");
    for (const char* body : {"dropped bytes=116 held=3,3", "dropped bytes=116 held=5,3", "dropped bytes=116 held=0",
                             "dropped bytes=116 held=15", "dropped bytes=116 held=3,"}) {
        const TraceSummary summary = Summarise(head + Marked(mark, 5100, "reply", body));
        EXPECT_EQ(summary.oddLines, 1u) << body;
        EXPECT_EQ(summary.lines.at(0).stations[3].replyDropped, 0u) << body;
    }
    for (const char* body : {"station=3 try=1 arriving=0", "station=3 try=1 arriving=x"}) {
        EXPECT_EQ(Summarise(head + Marked(mark, 10000, "timeout", body)).oddLines, 1u) << body;
    }
    // Before each line was read once, a 64 KiB line of blanks took seconds.
    std::string hostile = head;
    const std::string blanks(LineSplitter::kLongestLine, ' ');
    std::string many;
    for (std::size_t n = 0; n < LineSplitter::kLongestLine / 2; ++n) many += "a ";
    for (const char* kind : {"reply", "request", "timeout", "settings", "run", "port", "open", "fault"}) {
        hostile += Marked(mark, 5100, kind, many) + Marked(mark, 5100, kind, "x" + blanks + "y");
    }
    const auto start = std::chrono::steady_clock::now();
    const TraceSummary summary = Summarise(hostile);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(summary.traceLines, 3u + 16u);
    EXPECT_GE(summary.oddLines, 14u);
}

}  // namespace
