// scalepoll-report's reading of a trace: lines taken apart, the counts over a
// site's trace of a known mix, and a damaged trace that still gives a report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "tools/report/ReportOptions.h"
#include "tools/report/ReportOutput.h"
#include "tools/report/TraceTally.h"
#include "tools/report/tests/TraceFixtures.h"

namespace {

TraceSummary Summarise(std::string_view trace, std::size_t chunkSize = 4096) {
    TraceTally tally;
    LineSplitter splitter([&](std::string_view line) { tally.Add(line); });
    for (std::size_t at = 0; at < trace.size(); at += chunkSize) splitter.Feed(trace.substr(at, chunkSize));
    return tally.End(splitter.EndedMidLine());
}

TEST(TraceLineTest, KnownFormsAndOddOnes) {
    struct Case {
        std::string_view line;
        bool understood;
        std::int64_t ms;
        TraceKind kind;
        std::string_view body;
    };
    const Case cases[] = {
        {"   5150 received <2>30...", true, 5150, TraceKind::Received, "<2>30..."},
        {"  20000 result   0;3,1,0", true, 20000, TraceKind::Result, "0;3,1,0"},
        {"      0 run      2026-12-11T05:57:50.123Z scalepoll 1.1.0 COM1", true, 0, TraceKind::Run,
         "2026-12-11T05:57:50.123Z scalepoll 1.1.0 COM1"},
        {"   5002 request  station=3 try=1", true, 5002, TraceKind::Request, "station=3 try=1"},
        {"   5150 settings refused parity=Mark -- in force 9600 8 None 1", true, 5150, TraceKind::Settings,
         "refused parity=Mark -- in force 9600 8 None 1"},
        {"12345678 timeout  station=3 try=1", true, 12345678, TraceKind::Timeout, "station=3 try=1"},  // wider
        {"      - dropped  17 lines", true, 0, TraceKind::Dropped, "17"},
        {"  20000 result", true, 20000, TraceKind::Result, ""},
        {"", false, 0, {}, {}},
        {"        ", false, 0, {}, {}},
        {"  20000 resultX  0;3,1,0", false, 0, {}, {}},         // unknown kind
        {"  20000 result 0;3,1,0", false, 0, {}, {}},           // kind not padded to its columns
        {"  20000 whatever later", false, 0, {}, {}},           // a kind from a later version
        {"   -500 sent     <2>", false, 0, {}, {}},             // negative time
        {"  5x150 sent     <2>", false, 0, {}, {}},
        {"99999999999999999999 sent     <2>", false, 0, {}, {}},  // beyond any run
        {"      - dropped  many lines", false, 0, {}, {}},
        {"\t5150\treceived <2>", false, 0, {}, {}},
        // With a run mark (format 2) the rest is a line as above.
        {"r27709-9f3c01ab    5000 request  station=3 try=1", true, 5000, TraceKind::Request, "station=3 try=1"},
        {"r27709-9f3c01ab       - dropped  12 lines", true, 0, TraceKind::Dropped, "12"},
        {"r1-00000000      0 result   0;3,1,0", true, 0, TraceKind::Result, "0;3,1,0"},
        {"r27709-9f3c01a    5000 request  station=3 try=1", false, 0, {}, {}},   // 7 hex digits
        {"r27709-9f3c01abc    5000 request  station=3 try=1", false, 0, {}, {}}, // 9
        {"r27709-9F3C01AB    5000 request  station=3 try=1", false, 0, {}, {}},  // upper case
        {"r-9f3c01ab    5000 request  station=3 try=1", false, 0, {}, {}},       // no process id
        {"r27x09-9f3c01ab    5000 request  station=3 try=1", false, 0, {}, {}},
        {"r12345678901-9f3c01ab    5000 request  station=3 try=1", false, 0, {}, {}},
        {"r27709-9f3c01ab", false, 0, {}, {}},
        {"r27709-9f3c01ab r27709-9f3c01ab    5000 request  station=3 try=1", false, 0, {}, {}},
        {"run    5000 request  station=3 try=1", false, 0, {}, {}},
    };
    for (const Case& c : cases) {
        const auto parsed = ParseTraceLine(c.line);
        ASSERT_EQ(parsed.has_value(), c.understood) << c.line;
        if (!parsed) continue;
        EXPECT_EQ(parsed->ms, c.ms) << c.line;
        EXPECT_EQ(parsed->kind, c.kind) << c.line;
        EXPECT_EQ(parsed->body, c.body) << c.line;
        EXPECT_EQ(parsed->mark, c.line.starts_with('r') ? c.line.substr(0, c.line.find(' ')) : "") << c.line;
    }
}

TEST(TraceLineTest, TokensValuesAndFreeText) {
    const Tokens open("failed permission -- Permission denied; user site is not in group dialout");
    EXPECT_EQ(open.Count(), 2u);
    EXPECT_EQ(open.At(1), "permission");
    EXPECT_EQ(open.At(2), "");
    EXPECT_EQ(open.FreeText(), "Permission denied; user site is not in group dialout");

    const Tokens reply("modem-error station=7 try=2 cause=disagree reading=2 -- station=9 in the text");
    EXPECT_EQ(reply.Value("station"), "7");  // not the one in the free text
    EXPECT_EQ(reply.Value("cause"), "disagree");
    EXPECT_FALSE(reply.Value("weight").has_value());
    EXPECT_FALSE(reply.Value("statio").has_value());
    EXPECT_FALSE(Tokens("station= try=1").Value("station").has_value());
    EXPECT_EQ(Tokens("-- only text").FreeText(), "only text");
    EXPECT_EQ(Tokens("a  b").Count(), 1u);  // an empty token ends them
}

TEST(TraceLineTest, UtcTimesRoundTripAndBadOnesAreRefused) {
    for (const char* time : {"2026-12-11T05:57:50.123Z", "1970-01-01T00:00:00.000Z", "2028-02-29T23:59:59.999Z",
                             "1969-12-31T23:59:59.999Z"}) {
        const auto ms = ParseUtcTime(time);
        ASSERT_TRUE(ms) << time;
        EXPECT_EQ(FormatUtcTime(*ms), time);
    }
    EXPECT_EQ(ParseUtcTime("1970-01-02T00:00:01.002Z"), 86'401'002);
    for (const char* time : {"2026-02-29T00:00:00.000Z", "2026-12-11T24:00:00.000Z", "2026-12-11T05:57:50Z",
                             "2026-12-11 05:57:50.123Z", "2026-13-11T05:57:50.123Z", "2026-12-11T05:57:50.12+Z",
                             "2026-12-11T05:60:50.123Z", "+026-12-11T05:57:50.123Z", ""}) {
        EXPECT_FALSE(ParseUtcTime(time).has_value()) << time;
    }
}

TEST(LineSplitterTest, ChunksOfAnySizeGiveTheSameLines) {
    const std::string bytes = "one\ntwo\r\n\nthree\nfour cut";
    for (std::size_t chunk = 1; chunk <= bytes.size(); ++chunk) {
        std::vector<std::string> lines;
        LineSplitter splitter([&](std::string_view line) { lines.emplace_back(line); });
        for (std::size_t at = 0; at < bytes.size(); at += chunk) splitter.Feed(std::string_view(bytes).substr(at, chunk));
        EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "", "three"})) << chunk;
        EXPECT_TRUE(splitter.EndedMidLine());
    }
    LineSplitter whole([](std::string_view) {});
    whole.Feed("complete\n");
    EXPECT_FALSE(whole.EndedMidLine());
}

TEST(LineSplitterTest, AnOverlongLineIsCutAndTheNextOneIsWhole) {
    std::vector<std::size_t> sizes;
    LineSplitter splitter([&](std::string_view line) { sizes.push_back(line.size()); });
    const std::string huge(LineSplitter::kLongestLine * 3, 'x');
    splitter.Feed(huge);
    EXPECT_TRUE(splitter.EndedMidLine());
    splitter.Feed(huge + "\nnext\n");
    EXPECT_EQ(sizes, (std::vector<std::size_t>{LineSplitter::kLongestLine, 4}));
}

TEST(AnswerTimesTest, NearestRankPercentilesAndTheBucketBeyond) {
    AnswerTimes times;
    for (int ms = 1; ms <= 100; ++ms) times.Add(ms);
    EXPECT_EQ(times.Percentile(50), 50);
    EXPECT_EQ(times.Percentile(95), 95);
    EXPECT_EQ(times.Worst(), 100);

    AnswerTimes late;
    late.Add(40);
    late.Add(AnswerTimes::kLongestMs);
    for (int k = 0; k < 3; ++k) late.Add(AnswerTimes::kLongestMs + 700);
    EXPECT_EQ(late.Percentile(20), 40);
    EXPECT_EQ(late.Percentile(40), AnswerTimes::kLongestMs);
    EXPECT_EQ(late.Percentile(50), AnswerTimes::kLongestMs + 700);  // beyond the buckets: the worst
    EXPECT_EQ(late.Worst(), AnswerTimes::kLongestMs + 700);
}

std::int64_t NearestRank(std::vector<std::int64_t> times, int percent) {
    std::sort(times.begin(), times.end());
    const std::size_t rank = (times.size() * static_cast<std::size_t>(percent) + 99) / 100;
    return times[std::max<std::size_t>(rank, 1) - 1];
}

// The counts of MakeKnownMix(1000), worked out from its rules: 40 runs
// with the port busy; of the other 960, 240 where station 7 needs a second
// try (10 of the 250 runs with r % 4 == 0 are busy ones), 50 of them with a
// modem error, and 200 with station 12 silent.
TEST(TraceTallyTest, ManyRunsOfAKnownMixGiveTheRightCounts) {
    const KnownMix mix = MakeKnownMix(1000);
    const TraceSummary summary = Summarise(mix.trace);

    EXPECT_EQ(summary.runs, 1000u);
    EXPECT_EQ(summary.undatedRuns, 0u);
    EXPECT_EQ(summary.unfinishedRuns, 0u);
    EXPECT_EQ(FormatUtcTime(*summary.firstUtcMs), "2026-11-01T06:00:00.000Z");
    EXPECT_EQ(FormatUtcTime(*summary.lastUtcMs), "2026-11-01T22:39:00.000Z");
    EXPECT_EQ(summary.resultsOk, 950u);
    EXPECT_EQ(summary.resultsModemError, 50u);
    EXPECT_EQ(summary.resultsNotEnoughParameters, 0u);
    ASSERT_EQ(summary.latestModemErrorRuns.size(), 5u);
    EXPECT_EQ(summary.latestModemErrorRuns.front().number, 901u);  // r = 900 is the 901st run
    EXPECT_EQ(summary.latestModemErrorRuns.back().number, 981u);
    EXPECT_EQ(FormatUtcTime(*summary.latestModemErrorRuns.back().startUtcMs), "2026-11-01T22:20:00.000Z");
    EXPECT_EQ(summary.oddLines, 0u);
    EXPECT_FALSE(summary.cutAtEnd);

    // The 40 busy runs' requests never went out: the line failed them, not the stations.
    ASSERT_EQ(summary.lines.size(), 1u);
    const LineCounts& line = summary.lines[0];
    struct Expected {
        int station;
        std::uint64_t requests, first, later, silent;
    };
    for (const Expected& e : {Expected{3, 960, 960, 0, 0}, Expected{7, 1200, 720, 240, 0},
                              Expected{12, 1360, 760, 0, 200}}) {
        const StationCounts& station = line.stations[e.station];
        SCOPED_TRACE(e.station);
        EXPECT_EQ(station.runs, 1000u);
        EXPECT_EQ(station.requests, e.requests);
        EXPECT_EQ(station.answeredFirstTry, e.first);
        EXPECT_EQ(station.answeredLaterTry, e.later);
        EXPECT_EQ(station.silent, e.silent);
        EXPECT_EQ(station.lineFailed, 40u);
        const std::vector<std::int64_t>& times = mix.answerMs.at(e.station);
        EXPECT_EQ(station.answerMs.Count(), times.size());
        EXPECT_EQ(station.answerMs.Percentile(50), NearestRank(times, 50));
        EXPECT_EQ(station.answerMs.Percentile(95), NearestRank(times, 95));
        EXPECT_EQ(station.answerMs.Worst(), *std::max_element(times.begin(), times.end()));
    }
    EXPECT_EQ(line.stations[7].notTaken.All(), (std::map<std::string, std::uint64_t, std::less<>>{{"checksum", 240}}));
    EXPECT_EQ(line.stations[7].modemErrors.All(), (std::map<std::string, std::uint64_t, std::less<>>{{"disagree", 50}}));
    EXPECT_EQ(FormatUtcTime(*line.stations[3].lastHeardUtcMs), "2026-11-01T22:38:05.148Z");  // run 998
    EXPECT_FALSE(line.stations[5].Seen());
    EXPECT_EQ(line.port, "COM1");
    EXPECT_EQ(line.device, "/dev/ttyUSB0");
    EXPECT_EQ(line.runs, 1000u);
    EXPECT_EQ(line.opened, 960u);
    EXPECT_EQ(line.openFailures.All(), (std::map<std::string, std::uint64_t, std::less<>>{{"busy", 40}}));
}

TEST(TraceTallyTest, RunsWithoutRunLinesEndAtTheirResultLine) {
    const std::string trace = Line(20000, "result", "0;3,1,0") +
                              Line(5000, "request", "station=3 try=1") + Line(5100, "reply", "taken station=3 try=1 weight=5 settled=yes") +
                              Line(5100, "result", "0;3,0,5") + Line(0, "result", "1;Not enough parameters") +
                              Line(0, "run", "2026-12-11T05:57:50.123Z scalepoll 1.1.0 COM1 9600 8 None 1 3") +
                              Line(5000, "request", "station=3 try=1") + Line(20000, "result", "0;3,1,0") +
                              Line(20001, "fault", "drain-cut-short -- a late line of the same run");
    const TraceSummary summary = Summarise(trace);
    EXPECT_EQ(summary.runs, 4u);
    EXPECT_EQ(summary.undatedRuns, 3u);
    EXPECT_EQ(summary.resultsOk, 3u);
    EXPECT_EQ(summary.resultsNotEnoughParameters, 1u);
    // No port lines: the runs share one unnamed line.
    ASSERT_EQ(summary.lines.size(), 1u);
    const StationCounts& station = summary.lines[0].stations[3];
    EXPECT_EQ(station.runs, 2u);
    EXPECT_EQ(station.answeredFirstTry, 1u);
    EXPECT_EQ(station.silent, 1u);
    EXPECT_FALSE(station.lastHeardUtcMs.has_value());  // heard in an undated run only
    EXPECT_EQ(summary.faults.All().at("drain-cut-short"), 1u);
    EXPECT_EQ(summary.oddLines, 0u);
}

// A site's trace as it may really be: the writer dropped lines, a disk
// filled up mid-line, a run was killed before its result, an editor added
// CR LF and something else wrote into the file. The whole runs still count.
TEST(TraceTallyTest, ADamagedTraceStillGivesItsCounts) {
    const KnownMix mix = MakeKnownMix(100);
    std::string trace = mix.trace.substr(0, mix.trace.size() / 2);
    const std::size_t cut = trace.rfind(Line(0, "run", "").substr(0, 10));
    trace.resize(cut);  // ends with run 49's result line
    const std::size_t runsKept = 49;
    trace += "      - dropped  12 lines\n";
    trace += Line(0, "run", "2026-12-11T05:57:50.123Z scalepoll 1.1.0 COM1 9600 8 None 1 3");
    trace += Line(5000, "request", "station=3 try=1");
    trace += std::string("\x00\xff\x1b[2Jgarbage\n", 14) + "  5100 reply    taken station=99 try=1\r\n";
    trace += Line(5100, "reply", "taken station=3 try=7 weight=1 settled=yes");
    trace += Line(5100, "reply", "wondering station=3");
    trace += Line(0, "run", "not-a-date scalepoll 1.1.0");
    trace += "   5150 received <2>03";  // the disk was full

    const TraceSummary summary = Summarise(trace, 7);
    EXPECT_EQ(summary.runs, runsKept + 2);
    EXPECT_EQ(summary.undatedRuns, 1u);
    EXPECT_EQ(summary.unfinishedRuns, 2u);
    EXPECT_EQ(summary.oddLines, 5u);
    EXPECT_EQ(summary.linesLostByWriter, 12u);
    EXPECT_TRUE(summary.cutAtEnd);
    EXPECT_EQ(summary.resultsOk + summary.resultsModemError, runsKept);
    ASSERT_EQ(summary.lines.size(), 2u);
    const StationCounts& station = summary.lines[0].stations[3];
    EXPECT_EQ(station.runs, runsKept);
    EXPECT_EQ(station.lineFailed, 1u);  // run 24: the port busy
    EXPECT_EQ(station.silent, 0u);
    EXPECT_EQ(station.answeredFirstTry, runsKept - 1);
    EXPECT_EQ(summary.lines[1].stations[3].silent, 1u);  // the killed run, which named no port
}

TEST(ReportOutputTest, JsonStringsAreValidWhateverTheTraceHeld) {
    EXPECT_EQ(JsonString("/dev/ttyUSB0"), "\"/dev/ttyUSB0\"");
    EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString(std::string("\x00\n\x7f\xc3\xa4", 5)), "\"\\u0000\\u000a\\u007f\\u00c3\\u00a4\"");
}

TEST(ReportOutputTest, TheReportNamesWhatATechnicianAsks) {
    const TraceSummary summary = Summarise(MakeKnownMix(100).trace);
    const std::string json = JsonReport(summary);
    for (const char* key : {"{\"format\":2,\"runs\":100,", "\"first\":\"2026-11-01T06:00:00.000Z\"", "\"last\":\"2026-11-01T07:39:00.000Z\"",
                            "\"results\":{\"ok\":95,\"modem_error\":5,\"not_enough_parameters\":0}",
                            "\"lines\":[{\"port\":\"COM1\",\"device\":\"/dev/ttyUSB0\",\"runs\":100,\"opened\":96,",
                            "\"7\":{\"runs\":100,\"requests\":120,\"answered_first_try\":72,\"answered_later_try\":24,"
                            "\"late\":0,\"silent\":0,\"reply_lost_to_112_byte_rule\":0,\"line_failed\":4,"
                            "\"dropped_holding_its_reply\":0,"
                            "\"not_taken\":{\"checksum\":24},\"modem_errors\":{\"disagree\":5},"
                            "\"answer_ms\":{\"median\":130,\"p95\":130,\"max\":130,\"count\":96},"
                            "\"last_heard\":\"2026-11-01T07:38:05.278Z\"}",  // run 99: busy
                            "\"ports\":{\"COM1\":[{\"device\":\"/dev/ttyUSB0\",\"opened\":96,\"open_failures\":{\"busy\":4}"}) {
        EXPECT_NE(json.find(key), std::string::npos) << key << "\n" << json;
    }
    const std::string text = TextReport(summary);
    EXPECT_NE(text.find("runs: 100, 2026-11-01T06:00:00.000Z to 2026-11-01T07:39:00.000Z\n"), std::string::npos) << text;
    EXPECT_NE(text.find("results: 95 ok, 5 modem error, 0 not enough parameters\nlatest runs with a modem error: 1 "
                        "(2026-11-01T06:00:00.000Z), 21 (2026-11-01T06:20:00.000Z), 41"), std::string::npos) << text;
    EXPECT_NE(text.find("     12    100    136       76      0      0      20     0            4        200     200       200"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("COM1 (/dev/ttyUSB0): opened 96; open failed: busy 4\n"), std::string::npos) << text;
}

TEST(ReportOptionsTest, CommandLines) {
    EXPECT_EQ(ParseReportOptions({"t.txt"}).form, ReportOptions::Form::Text);
    EXPECT_EQ(ParseReportOptions({"--json", "t.txt"}).form, ReportOptions::Form::Json);
    const ReportOptions timeline = ParseReportOptions({"--timeline", "3", "t.txt"});
    EXPECT_EQ(timeline.form, ReportOptions::Form::Timeline);
    EXPECT_EQ(timeline.timelineRun, 3u);
    EXPECT_EQ(ParseReportOptions({"--", "--json"}).traceFile, "--json");
    EXPECT_TRUE(ParseReportOptions({"--help"}).help);
    for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
             {}, {"--json"}, {"--timeline", "0", "t.txt"}, {"--timeline", "t.txt"}, {"--json", "--timeline", "1", "t"},
             {"a", "b"}, {"--xml", "t.txt"}}) {
        EXPECT_THROW(ParseReportOptions(wrong), ReportUsageError) << ::testing::PrintToString(wrong);
    }
}

// The program itself: its exit status for a report, an unreadable file, a run
// the trace does not hold and a wrong command line.
TEST(ReportProgramTest, ExitStatus) {
    const std::string trace = ::testing::TempDir() + "report_program.trace";
    std::ofstream(trace) << MakeKnownMix(3).trace;
    const std::string program = SCALEPOLL_REPORT_BINARY;
    const std::pair<std::string, int> cases[] = {
        {program + " " + trace, 0},
        {program + " --json " + trace, 0},
        {program + " --timeline 3 " + trace, 0},
        {program + " --timeline 4 " + trace, 1},
        {program + " " + trace + ".missing", 1},
        {program + " " + ::testing::TempDir(), 1},  // a folder
        {program + " --timeline x " + trace, 2},
    };
    for (const auto& [command, status] : cases) {
        const int result = std::system((command + " >/dev/null 2>&1").c_str());
        EXPECT_EQ(WEXITSTATUS(result), status) << command;
    }
}

}  // namespace
