// The line trace: what a traced run records and decides, why a port failed,
// that tracing changes nothing in the run, and how the binary takes
// SCALEPOLL_TRACE.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "ScalepollVersion.h"
#include "platform/Files.h"
#include "poll/Frames.h"
#include "poll/LineTrace.h"
#include "poll/Startup.h"
#include "serial/Sarja1_u.h"
#include "tests/support/FakeSerialPorts.h"
#include "tests/support/ReplyBuilder.h"
#include "tests/support/ScriptedLine.h"
#include "tests/support/TraceFile.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kMark = "r4242-0badcafe";

const std::chrono::system_clock::time_point kStartedAt =
    std::chrono::sys_days{std::chrono::year{2026} / 12 / 11} + 5h + 57min + 50s + 123ms;

// One run in virtual time from startMs on: station 3 stays silent, and two
// bytes of noise arrive 120 ms after the start.
struct SilentStationRun {
    VirtualTime time;
    EventLoop loop{time};
    CapturedOutput output{loop};
    FakeSerialPorts line{time};

    explicit SilentStationRun(std::int64_t startMs = 0) {
        time.Advance(startMs);
        line.Arrive(startMs + 120, std::string("\x06 ", 2));
    }
    std::vector<std::string> Parameters() const { return {"COM1", "9600", "8", "None", "1", "3"}; }
};

// The trace's lines of one kind, without their run mark and time stamps;
// every line of the trace carries the run's mark.
std::vector<std::string> LinesOf(const std::string& trace, const std::string& kind) {
    std::vector<std::string> found;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.starts_with(kMark + ' ')) << line;
        const std::string unmarked = line.substr(kMark.size() + 1);
        if (unmarked.size() > 8 && unmarked.compare(8, kind.size() + 1, kind + ' ') == 0)
            found.push_back(unmarked.substr(17));
    }
    return found;
}

// Each line of `lines` begun with the run mark and a blank.
std::string Marked(const std::string& lines) {
    std::string marked;
    std::istringstream each(lines);
    for (std::string line; std::getline(each, line);) marked += kMark + ' ' + line + '\n';
    return marked;
}

// Station 3 answers its first read request with `reply`, 100 ms later.
void AnswerFirstRequest(FakeSerialPorts& line, VirtualTime& time, const std::string& reply) {
    line.onWrite = [&line, &time, reply, answered = false](const std::string& bytes) mutable {
        if (answered || bytes.find(ReadRequest(3)) == std::string::npos) return;
        answered = true;
        line.Arrive(time.NowMs() + 100, reply);
    };
}

}  // namespace

TEST(LineTrace, RecordsTheRunItsPortFramesTimeOutsAndResult) {
    SilentStationRun run(700);  // the trace counts from the start of its run
    CapturedOutput trace{run.loop};
    RunTracedTool(run.Parameters(), run.loop, run.output, run.line, trace, kMark, kStartedAt);
    const std::string fill = "<255><255><255>";
    const std::string request = fill + DisplayText(ReadRequest(3)) + fill;
    EXPECT_EQ(trace.Text(),
              Marked("      0 run      2026-12-11T05:57:50.123Z scalepoll " + std::string(kScalepollVersion) +
                  " COM1 9600 8 None 1 3\n"
                  "      0 port     COM1 /dev/fake1\n"
                  "      0 open     ok\n"
                  "      0 settings 9600 8 None 1\n"
                  "      0 trigger  sequence=2\n"
                  "      0 sent     <255><255><255><2>*0MW02<13><145><255><255><255>\n"
                  "    150 received <6><32>\n"
                  "   5000 request  station=3 try=1\n"
                  "   5000 sent     " + request + "\n"
                  "  10000 timeout  station=3 try=1\n"
                  "  10000 request  station=3 try=2\n"
                  "  10000 sent     " + request + "\n"
                  "  15000 timeout  station=3 try=2\n"
                  "  15000 request  station=3 try=3\n"
                  "  15000 sent     " + request + "\n"
                  "  20000 timeout  station=3 try=3\n"
                  "  20000 result   0;3,1,0\n"));
}

TEST(LineTrace, RunMarkIsTheProcessIdAndEightHexDigits) {
    EXPECT_EQ(RunMark(27709, 0x9f3c01ab), "r27709-9f3c01ab");
    EXPECT_EQ(RunMark(1, 0xab), "r1-000000ab");
}

// Parameters as tokens: a blank in the display text form, an empty one as "".
TEST(LineTrace, RunLineOfARunWithTooFewParameters) {
    SilentStationRun run;
    CapturedOutput trace{run.loop};
    RunTracedTool({"COM1", "", "a b"}, run.loop, run.output, run.line, trace, kMark, kStartedAt + 9ms);
    EXPECT_EQ(trace.Text(), Marked("      0 run      2026-12-11T05:57:50.132Z scalepoll " +
                                   std::string(kScalepollVersion) +
                                   " COM1 \"\" a<32>b\n      0 result   1;Not enough parameters\n"));
    EXPECT_EQ(UtcText(std::chrono::sys_days{std::chrono::year{1999} / 1 / 2} + 3h + 4min + 5s + 6ms),
              "1999-01-02T03:04:05.006Z");
}

// Each verdict on a reply to station 3's first request, and the same result
// line at the same time as the run without a trace.
TEST(LineTrace, EachReplyVerdictAndTheSameRunAsWithoutTheTrace) {
    const std::string good = ReplyBuilder().Build();
    const std::string badChecksum = ReplyBuilder().BadChecksum().Build();
    const int checksum = static_cast<std::uint8_t>(good.back());
    struct Case {
        std::string reply;
        std::string verdict;
    };
    const Case cases[] = {
        {good, "taken station=3 try=1 weight=1250 settled=yes"},
        {ReplyBuilder().Address(5).Build(), "taken station=5 try=1 weight=1250 settled=yes"},
        {ReplyBuilder().Reading(1, "0001260").Build(),
         "modem-error station=3 try=1 cause=disagree reading=2 -- readings 1250 1260 1250; marks V V V; divisions 2 2 2"},
        {ReplyBuilder().Reading(0, "0001244").Reading(2, "0001256").Build(),
         "modem-error station=3 try=1 cause=disagree -- readings 1244 1250 1256; marks V V V; divisions 2 2 2"},
        {ReplyBuilder().Reading(2, "0001250", 32, 33 | 0x10).Build(),
         "modem-error station=3 try=1 cause=unsettled reading=3 -- readings 1250 1250 1250; marks V V L; divisions 2 2 2"},
        {ReplyBuilder().Reading(0, "0001250", 32, 0x2F).Build(),
         "modem-error station=3 try=1 cause=unreadable reading=1 -- readings 1250 1250 1250; marks V V V; divisions ? 2 2"},
        {badChecksum, "not-taken reason=checksum station=3 -- checksum " + std::to_string((checksum + 1) % 256) +
                          ", the frame needs " + std::to_string(checksum)},
        {ReplyBuilder().Sequence(5).Build(), "not-taken reason=sequence station=3 -- sequence 05, this run's 02"},
        {ReplyBuilder().AddressByte('0').Build(), "not-taken reason=address -- address 0 names no station 1 to 14"},
        // The run's two bytes of noise came first. Whole frames with a good
        // checksum among the dropped bytes name the stations that answered.
        {std::string(113, 'x'), "dropped bytes=115 held=none -- no reply frame within 112 bytes"},
        {std::string(80, 'x') + good,
         "dropped bytes=118 held=3 -- more than 112 bytes before the search; they held a whole reply frame"},
        {std::string(41, 'x') + ReplyBuilder().Address(5).Build() + ReplyBuilder().Sequence(9).Build(),
         "dropped bytes=115 held=3,5 -- more than 112 bytes before the search; they held whole reply frames"},
        {std::string(77, 'x') + badChecksum, "dropped bytes=115 held=none -- no reply frame within 112 bytes"},
    };
    for (const Case& c : cases) {
        SilentStationRun plain;
        AnswerFirstRequest(plain.line, plain.time, c.reply);
        RunTool(plain.Parameters(), plain.loop, plain.output, plain.line);
        SilentStationRun traced;
        AnswerFirstRequest(traced.line, traced.time, c.reply);
        CapturedOutput trace{traced.loop};
        RunTracedTool(traced.Parameters(), traced.loop, traced.output, traced.line, trace, kMark, kStartedAt);
        EXPECT_EQ(LinesOf(trace.Text(), "reply"), std::vector<std::string>{c.verdict});
        EXPECT_EQ(traced.output.Text(), plain.output.Text()) << c.verdict;
        EXPECT_EQ(traced.output.writtenAtMs, plain.output.writtenAtMs) << c.verdict;
        EXPECT_EQ(traced.line.calls, plain.line.calls) << c.verdict;
        EXPECT_EQ(traced.line.writeTimes, plain.line.writeTimes) << c.verdict;
        EXPECT_EQ(traced.line.openPorts, 0);
    }
}

// A try that runs out with bytes come since its request says how many: an
// answer under way, not a silent station. Bytes from before the request, or
// thrown away by the 112-byte rule, are not counted.
TEST(LineTrace, TimeoutTellsTheBytesArrivingSinceItsRequest) {
    const std::string good = ReplyBuilder().Build();
    struct Case {
        std::vector<std::pair<std::int64_t, std::string>> arrivals;
        std::vector<std::string> timeouts;
        std::string result;
    };
    const Case cases[] = {
        {{{9900, good.substr(0, 20)}, {10100, good.substr(20)}}, {"station=3 try=1 arriving=20"}, "0;3,0,1250"},
        {{{6000, "12345"}}, {"station=3 try=1 arriving=5", "station=3 try=2", "station=3 try=3"}, "0;3,1,0"},
        {{{6000, std::string(113, 'x')}}, {"station=3 try=1", "station=3 try=2", "station=3 try=3"}, "0;3,1,0"},
    };
    for (const Case& c : cases) {
        SilentStationRun run;
        for (const auto& [atMs, bytes] : c.arrivals) run.line.Arrive(atMs, bytes);
        CapturedOutput trace{run.loop};
        RunTracedTool(run.Parameters(), run.loop, run.output, run.line, trace, kMark, kStartedAt);
        EXPECT_EQ(LinesOf(trace.Text(), "timeout"), c.timeouts) << c.timeouts.front();
        EXPECT_EQ(run.output.Text(), c.result);
    }
}

// A frame with a wrong checksum is told once, however many chunks follow it
// before the buffer is emptied.
TEST(LineTrace, WrongChecksumToldOnceAcrossLaterChunks) {
    SilentStationRun run;
    const std::string bad = ReplyBuilder().BadChecksum().Build();
    AnswerFirstRequest(run.line, run.time, bad);
    run.line.Arrive(5300, "ab");
    run.line.Arrive(5400, "cd");
    CapturedOutput trace{run.loop};
    RunTracedTool(run.Parameters(), run.loop, run.output, run.line, trace, kMark, kStartedAt);
    EXPECT_EQ(LinesOf(trace.Text(), "reply").size(), 1u);
}

TEST(LineTrace, PortOpenFailureRefusedSettingsAndFaults) {
    struct Case {
        std::function<void(FakeSerialPorts&)> arrange;
        std::string parity;
        std::vector<std::string> open, settings, faults;
    };
    const Case cases[] = {
        {[](FakeSerialPorts& line) { line.missing.insert(1); }, "None",
         {"failed missing -- No such file or directory"}, {}, {}},
        {[](FakeSerialPorts& line) { line.forced = CommState{}; }, "Even",
         {"ok"}, {"refused parity=Even -- in force 9600 8 None 1"}, {}},
        {[](FakeSerialPorts& line) { line.drainMs = 5000; }, "None",
         {"ok"}, {"9600 8 None 1"}, {"drain-cut-short -- Interrupted system call"}},
        // Gone after the trigger frame: every read tick and write fails, one line tells it.
        {[](FakeSerialPorts& line) { line.onWrite = [&line](const std::string&) { line.gone = true; }; }, "None",
         {"ok"}, {"9600 8 None 1"}, {"device-gone -- Input/output error"}},
    };
    for (const Case& c : cases) {
        SilentStationRun run;
        c.arrange(run.line);
        CapturedOutput trace{run.loop};
        RunTracedTool({"COM1", "9600", "8", c.parity, "1", "3"}, run.loop, run.output, run.line, trace, kMark,
                      kStartedAt);
        EXPECT_EQ(LinesOf(trace.Text(), "open"), c.open);
        EXPECT_EQ(LinesOf(trace.Text(), "settings"), c.settings);
        EXPECT_EQ(LinesOf(trace.Text(), "fault"), c.faults);
        EXPECT_EQ(run.output.Text(), "0;3,1,0");
    }
}

TEST(LineTrace, BinaryAppendsToTheNamedFileAndIgnoresOneItCannotOpen) {
    std::string pattern = (fs::temp_directory_path() / "line_trace_test.XXXXXX").string();
    const fs::path directory = mkdtemp(pattern.data());
    const fs::path trace = directory / "trace.txt";
    const fs::path unopenable = directory / "missing" / "trace.txt";
    const auto runBinary = [&directory](const fs::path& tracePath) {
        std::string command = "SCALEPOLL_TRACE='" + tracePath.string() + "'";
        for (int n = 1; n <= 4; ++n)
            command += " SCALEPOLL_COM" + std::to_string(n) + "='" + (directory / "no-port").string() + "'";
        command += std::string(" ") + SCALEPOLL_BINARY + " COM1 9600";
        FILE* pipe = popen(command.c_str(), "r");
        std::string output;
        char buffer[256];
        std::size_t got = 0;
        while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
        EXPECT_EQ(pclose(pipe), 0);
        return output;
    };
    for (const fs::path& path : {trace, trace, unopenable}) EXPECT_EQ(runBinary(path), "1;Not enough parameters\r\n");
    // Each run marks its lines with a mark of its own. Real time passes in
    // the binary: the stamps and dates are left out.
    std::istringstream lines(ReadWholeFile(trace));
    std::vector<std::string> marks;
    std::vector<std::string> undated;
    for (std::string line; std::getline(lines, line);) {
        const auto mark = RunMarkOf(line);
        ASSERT_TRUE(mark) << line;
        marks.push_back(*mark);
        line.erase(0, mark->size() + 1);
        undated.push_back(line.starts_with("      0 run      ") ? line.substr(0, 17) + line.substr(42) : line.substr(7));
    }
    ASSERT_EQ(marks.size(), 4u);
    EXPECT_EQ(marks[0], marks[1]);
    EXPECT_EQ(marks[2], marks[3]);
    EXPECT_NE(marks[0], marks[2]);
    const std::string run = "      0 run      scalepoll " + std::string(kScalepollVersion) + " COM1 9600";
    EXPECT_EQ(undated, (std::vector<std::string>{run, " result   1;Not enough parameters", run,
                                                  " result   1;Not enough parameters"}));
    EXPECT_FALSE(fs::exists(unopenable.parent_path()));
    fs::remove_all(directory);
}

// A trace to a FIFO never waits: with no reader the lines are dropped, with a
// reader that stopped reading the lines beyond what the pipe holds are
// dropped, and once a line can be written again the count of dropped lines
// comes first. Every line read is whole.
TEST(LineTrace, FifoWithoutOrWithAStalledReaderNeverHoldsTheRunUp) {
    std::string pattern = (fs::temp_directory_path() / "line_trace_test.XXXXXX").string();
    const fs::path directory = mkdtemp(pattern.data());
    const fs::path fifo = directory / "trace";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    auto file = OpenAppendFile(fifo.string(), kMark);  // no reader: must not block
    ASSERT_NE(file, nullptr);
    file->WriteAndFlush("lost 1\n");
    file->WriteAndFlush("lost 2\n");

    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const std::string record(99, 'x');
    for (int n = 0; n < 2000; ++n) file->WriteAndFlush(record + "\n");  // far beyond the pipe's 64 KiB
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = read(reader, buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
    file->WriteAndFlush("after\n");
    for (ssize_t n; (n = read(reader, buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
    close(reader);

    std::istringstream lines(got);
    std::vector<std::string> all;
    for (std::string line; std::getline(lines, line);) all.push_back(line);
    ASSERT_GE(all.size(), 4u);
    EXPECT_EQ(all.front(), kMark + "       - dropped  2 lines");
    const std::size_t kept = all.size() - 3;
    for (std::size_t n = 1; n <= kept; ++n) ASSERT_EQ(all[n], record) << n;
    EXPECT_EQ(all[all.size() - 2], kMark + "       - dropped  " + std::to_string(2000 - kept) + " lines");
    EXPECT_EQ(all.back(), "after");
    fs::remove_all(directory);
}
