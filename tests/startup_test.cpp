// Start-up: the command line and whole runs of the tool in virtual time.
#include <gtest/gtest.h>

#include <string>

#include "poll/Startup.h"
#include "poll/Frames.h"
#include "tests/support/FakeSerialPorts.h"
#include "tests/support/ReplyBuilder.h"
#include "tests/support/ScriptedLine.h"

namespace {

// A whole run of the tool in virtual time, over the real link front and
// driver, against a recording port.
struct ToolRun {
    VirtualTime time;
    EventLoop loop{time};
    CapturedOutput output{loop};
    FakeSerialPorts line{time};

    void Run(std::vector<std::string> parameters) { RunTool(parameters, loop, output, line); }
    // Station n answers each read request after delayMs.
    void Answers(int station, std::int64_t delayMs, const std::string& reply) {
        line.onWrite = [this, station, delayMs, reply, previous = line.onWrite](const std::string& bytes) {
            if (previous) previous(bytes);
            if (bytes.find(ReadRequest(station)) != std::string::npos) line.Arrive(time.NowMs() + delayMs, reply);
        };
    }
};

}  // namespace

TEST(Startup, TooFewParametersTouchNoPort) {
    ToolRun run;
    run.Run({"COM1", "9600", "8", "None", "1"});
    EXPECT_EQ(run.output.Text(), "1;Not enough parameters\r\n");
    EXPECT_TRUE(run.line.calls.empty());
}

TEST(Startup, UnconvertibleStationsSelectNothing) {
    for (const char* station : {"abc", "", "7 "}) {
        ToolRun run;
        run.Run({"COM1", "9600", "8", "None", "1", station});
        EXPECT_EQ(run.output.Text(), "0;") << '"' << station << '"';
        EXPECT_EQ(run.output.writtenAtMs, 5000);
        EXPECT_EQ(run.line.written, "\xFF\xFF\xFF" + TriggerFrame(2) + "\xFF\xFF\xFF");
    }
}

TEST(Startup, EveryStationFormSelects) {
    ToolRun run;
    run.line.missing = {1};
    run.Run({"COM1", "9600", "8", "None", "1", "12", "3", "3", " 7", "+7", "07", "$7", "x7", "0x7", "$E", "0x0e",
             "99", "-3"});
    EXPECT_EQ(run.output.Text(), "0;3,1,0;7,1,0;12,1,0;14,1,0");
    EXPECT_EQ(run.output.writtenAtMs, 5000 + 4 * 15000);
    EXPECT_TRUE(run.line.written.empty());  // the port could not be opened
}

TEST(Startup, AnsweringAndSilentStationOverTheLink) {
    ToolRun run;
    run.Answers(3, 120, ReplyBuilder().Address(3).Build());
    run.Run({"COM1", "9600", "8", "None", "1", "3", "12"});
    const std::string fill(3, '\xFF');
    std::string expected = fill + TriggerFrame(2) + fill + fill + ReadRequest(3) + fill;
    for (int i = 0; i < 3; ++i) expected += fill + ReadRequest(12) + fill;
    EXPECT_EQ(run.line.written, expected);
    // The reply is read at the first read tick after it arrived.
    EXPECT_EQ(run.line.writeTimes, (std::vector<std::int64_t>{0, 5000, 5150, 10150, 15150}));
    // Every frame, trigger and requests alike: DTR low, the write, the drain, DTR up.
    std::vector<std::string> framing;
    for (const std::string& call : run.line.calls)
        if (call.rfind("dtr", 0) == 0 || call.rfind("write", 0) == 0 || call.rfind("drain", 0) == 0)
            framing.push_back(call);
    std::vector<std::string> expectedFraming;
    for (const std::size_t length : {15, 13, 13, 13, 13})
        expectedFraming.insert(expectedFraming.end(),
                               {"dtr 0", "write " + std::to_string(length), "drain 4000", "dtr 1"});
    EXPECT_EQ(framing, expectedFraming);
    EXPECT_EQ(run.output.Text(), "0;3,0,1250;12,1,0");
    EXPECT_EQ(run.output.writtenAtMs, 20150);
    EXPECT_EQ(run.line.openPorts, 0);  // closed when the run ended
}
