// Start-up: the command line of the real binary and of a whole run.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "poll/Startup.h"
#include "tests/support/ScriptedLine.h"

namespace {

// Runs the binary with the given arguments and returns its standard output
// and exit status.
std::pair<std::string, int> RunBinary(const std::string& arguments) {
    const std::string command = std::string(SCALEPOLL_BINARY) + " " + arguments;
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[256];
    std::size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    return {output, pclose(pipe)};
}

}  // namespace

TEST(Startup, TooFewParametersAnswerWithCrLfAndStatusZero) {
    for (const char* arguments : {"", "COM1 9600 8 None 1"}) {
        const auto [output, status] = RunBinary(arguments);
        EXPECT_EQ(output, "1;Not enough parameters\r\n") << arguments;
        EXPECT_EQ(status, 0) << arguments;
    }
}

TEST(Startup, UnconvertibleStationsSelectNothing) {
    for (const char* station : {"abc", "", "7 "}) {
        VirtualTime time;
        EventLoop loop(time);
        CapturedOutput output(loop);
        RunTool({"COM1", "9600", "8", "None", "1", station}, loop, output);
        EXPECT_EQ(output.Text(), "0;") << '"' << station << '"';
        EXPECT_EQ(output.writtenAtMs, 5000);
    }
}

TEST(Startup, EveryStationFormSelects) {
    VirtualTime time;
    EventLoop loop(time);
    CapturedOutput output(loop);
    RunTool({"COM1", "9600", "8", "None", "1", "12", "3", "3", " 7", "+7", "07", "$7", "x7", "0x7", "$E", "0x0e",
             "99", "-3"},
            loop, output);
    EXPECT_EQ(output.Text(), "0;3,1,0;7,1,0;12,1,0;14,1,0");
    EXPECT_EQ(output.writtenAtMs, 5000 + 4 * 15000);
}
