// The line trace: what a traced run records, that tracing changes nothing in
// the run, and how the binary takes SCALEPOLL_TRACE.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Files.h"
#include "poll/Frames.h"
#include "poll/LineTrace.h"
#include "poll/Startup.h"
#include "serial/Sarja1_u.h"
#include "tests/support/FakeSerialPorts.h"
#include "tests/support/ScriptedLine.h"

namespace fs = std::filesystem;

namespace {

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

std::string FileText(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

TEST(LineTrace, RecordsWritesReadsAndTheResultLine) {
    SilentStationRun run(700);  // the trace counts from the start of its run
    CapturedOutput trace{run.loop};
    RunTracedTool(run.Parameters(), run.loop, run.output, run.line, trace);
    const std::string fill = "<255><255><255>";
    const std::string request = fill + DisplayText(ReadRequest(3)) + fill;
    EXPECT_EQ(trace.Text(),
              "      0 sent     <255><255><255><2>*0MW02<13><145><255><255><255>\n"
              "    150 received <6><32>\n"
              "   5000 sent     " + request + "\n"
              "  10000 sent     " + request + "\n"
              "  15000 sent     " + request + "\n"
              "  20000 result   0;3,1,0\n");
}

TEST(LineTrace, TracedRunDoesWhatAnUntracedOneDoes) {
    SilentStationRun plain;
    RunTool(plain.Parameters(), plain.loop, plain.output, plain.line);
    SilentStationRun traced;
    CapturedOutput trace{traced.loop};
    RunTracedTool(traced.Parameters(), traced.loop, traced.output, traced.line, trace);
    EXPECT_EQ(traced.output.Text(), plain.output.Text());
    EXPECT_EQ(traced.output.writtenAtMs, plain.output.writtenAtMs);
    EXPECT_EQ(traced.line.calls, plain.line.calls);
    EXPECT_EQ(traced.line.written, plain.line.written);
    EXPECT_EQ(traced.line.openPorts, 0);
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
    // Real time passes in the binary: the stamps are left out.
    std::istringstream lines(FileText(trace));
    std::vector<std::string> unstamped;
    for (std::string line; std::getline(lines, line);) unstamped.push_back(line.substr(7));
    EXPECT_EQ(unstamped, std::vector<std::string>(2, " result   1;Not enough parameters"));
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

    auto file = OpenAppendFile(fifo.string());  // no reader: must not block
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
    EXPECT_EQ(all.front(), "      - dropped  2 lines");
    const std::size_t kept = all.size() - 3;
    for (std::size_t n = 1; n <= kept; ++n) ASSERT_EQ(all[n], record) << n;
    EXPECT_EQ(all[all.size() - 2], "      - dropped  " + std::to_string(2000 - kept) + " lines");
    EXPECT_EQ(all.back(), "after");
    fs::remove_all(directory);
}
