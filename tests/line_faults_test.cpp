// Faults on the line, end to end: the real binary run by scalepoll-sim on a
// pseudo-terminal of its own, the simulator playing the stations and the
// fault. Whatever happens on the line, a run ends on time with one result
// line and status 0, and keeps every reply that reached it whole.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "poll/Frames.h"
#include "tests/support/Program.h"
#include "tests/support/TraceFile.h"
#include "tests/support/TemporaryDirectory.h"
#include "tools/sim/RecordFormat.h"

namespace {

// The protocol's own timing: the first request 5000 ms after the trigger, a
// silent station asked three times 5000 ms apart.
constexpr std::int64_t kSilentStationMs = 15000;
constexpr std::int64_t kFirstRequestMs = 5000;
// Generous: the protocol's times are exact, but the machine may be busy.
constexpr std::int64_t kLateToleranceMs = 2000;

std::string Filled(const std::string& frame) { return "\xFF\xFF\xFF" + frame + "\xFF\xFF\xFF"; }

// The lines of a SCALEPOLL_TRACE file that show bytes the port took.
Strings SentLines(const std::string& trace) {
    std::istringstream lines(trace);
    Strings sent;
    for (std::string line; std::getline(lines, line);)
        if (line.find(" sent ") != std::string::npos) sent.push_back(line);
    return sent;
}

class LineFault : public ::testing::Test {
protected:
    std::filesystem::path Path(const char* name) const { return directory_.Path() / name; }

    // Runs the program and waits for it; its standard output goes to a file.
    Finished Run(Strings arguments, Strings environment) {
        return RunProgram(std::move(arguments), std::move(environment), Path("output"));
    }

    // scalepoll-sim with the options, recording the line, running the command.
    Finished RunSim(Strings options, const Strings& command, Strings environment = {}) {
        options.insert(options.begin(), SCALEPOLL_SIM_BINARY);
        options.insert(options.end(), {"--record", Path("record").string(), "--"});
        options.insert(options.end(), command.begin(), command.end());
        return Run(options, std::move(environment));
    }

    std::string ReceivedOnTheLine() const { return ReadRecord(ReadWholeFile(Path("record"))).received; }

private:
    TemporaryDirectory directory_;
};

Strings Tool(std::initializer_list<const char*> stations) {
    Strings command{SCALEPOLL_BINARY, "COM1", "9600", "8", "None", "1"};
    command.insert(command.end(), stations.begin(), stations.end());
    return command;
}

void ExpectOnTime(const Finished& run, std::int64_t protocolMs) {
    EXPECT_GE(run.wallMs, protocolMs - 50);
    EXPECT_LE(run.wallMs, protocolMs + kLateToleranceMs);
}

}  // namespace

// The simulator closes its side at 7 s, after station 3 has answered.
TEST_F(LineFault, DeviceDisappearsInTheMiddleOfARun) {
    const Finished run = RunSim({"--station", "3:weight=1250", "--hang-up-at", "7000"}, Tool({"3", "12"}));
    EXPECT_EQ(run.output, "0;3,0,1250;12,1,0");
    EXPECT_EQ(run.status, 0);
    ExpectOnTime(run, kFirstRequestMs + kSilentStationMs);
}

// From 2 s on the simulator reads nothing and the line's queue is full, so
// every request meets a full output queue: SendBlock gives up after its
// 4000 ms each time, waiting rather than spinning, and the polls keep their
// 5000 ms pace. The line trace shows the writes the port took, and says once
// that the line is stalled.
TEST_F(LineFault, LineStopsTakingBytes) {
    const std::string trace = Path("trace").string();
    const Finished run =
        RunSim({"--station", "3:weight=1250", "--stall-at", "2000"}, Tool({"3"}), {"SCALEPOLL_TRACE=" + trace});
    EXPECT_EQ(run.output, "0;3,1,0");
    const Strings sent = SentLines(ReadWholeFile(trace));
    ASSERT_EQ(sent.size(), 1u) << "only the trigger frame goes out";
    EXPECT_NE(sent[0].find("*0MW02"), std::string::npos) << sent[0];
    EXPECT_EQ(TraceLines(trace, "fault"),
              Strings{"drain-cut-short -- the send's time limit ran out before the frame could leave the port, the "
                      "line is stalled (held by flow control?)"});
    EXPECT_EQ(run.status, 0);
    ExpectOnTime(run, kFirstRequestMs + kSilentStationMs);
    // Three sends each wait 4000 ms; spinning through them would take seconds.
    EXPECT_LT(run.cpuMs, 1000) << "CPU time of the run and the simulator";
    std::cout << "CPU time with a stalled line: " << run.cpuMs << " ms (tool and simulator)\n";
    EXPECT_EQ(ReceivedOnTheLine(), Filled(TriggerFrame(2)));
}

// Noise bytes fill the line whenever no reply is going out. A reply that
// noise pushes out of the reply buffer is asked for again; noise never
// becomes a weight.
TEST_F(LineFault, NoiseStormForTheWholeRun) {
    const Finished run =
        RunSim({"--station", "3:weight=1250", "--station", "5:weight=42", "--noise-storm"}, Tool({"3", "5"}));
    const std::set<std::string> possible{"0;3,0,1250;5,0,42", "0;3,1,0;5,0,42", "0;3,0,1250;5,1,0", "0;3,1,0;5,1,0"};
    EXPECT_EQ(possible.count(run.output), 1u) << run.output;
    EXPECT_EQ(run.status, 0);
    EXPECT_LE(run.wallMs, kFirstRequestMs + 2 * kSilentStationMs + kLateToleranceMs);
    std::cout << "through the storm: " << run.output << " after " << run.wallMs << " ms\n";
}

// The caller closed standard output. The descriptor is not handed to the
// port, so the result line does not land on the serial line.
TEST_F(LineFault, ClosedStandardOutputWithThePortOpen) {
    const Finished run = RunSim({"--station", "3:weight=1250"},
                                {"/bin/sh", "-c", "exec \"$0\" \"$@\" >&-", SCALEPOLL_BINARY, "COM1", "9600", "8",
                                 "None", "1", "3"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(ReceivedOnTheLine(), Filled(TriggerFrame(2)) + Filled(ReadRequest(3)));
}

TEST_F(LineFault, ClosedOrDeadStandardOutputWithoutAPort) {
    const Strings noPorts = PortsAt("/nonexistent/com1");
    // Closed outright, and a pipe whose reader has gone by the time the
    // result line comes (the run without stations lasts 5 s).
    for (const char* script : {"exec \"$0\" \"$@\" >&-", "\"$0\" \"$@\" | true; exit \"${PIPESTATUS[0]}\""}) {
        for (const Strings& parameters : {Strings{}, Strings{"COM1", "9600", "8", "None", "1", "abc"}}) {
            Strings command{"/bin/bash", "-c", script, SCALEPOLL_BINARY};
            command.insert(command.end(), parameters.begin(), parameters.end());
            EXPECT_EQ(Run(command, noPorts).status, 0) << script << " with " << parameters.size() << " parameters";
        }
    }
}

// A second scalepoll on the same line while the first runs finds the port
// held: its stations stay silent, and the first run goes on untouched.
TEST_F(LineFault, SecondToolOnTheSamePort) {
    const std::string first = Path("first").string();
    const std::string second = Path("second").string();
    const Finished run = RunSim(
        {"--station", "3:weight=1250"},
        {"/bin/sh", "-c", "\"$0\" COM1 9600 8 None 1 3 12 >\"$1\" & sleep 1; \"$0\" COM1 9600 8 None 1 3 >\"$2\"; wait",
         SCALEPOLL_BINARY, first, second});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(ReadWholeFile(first), "0;3,0,1250;12,1,0");
    EXPECT_EQ(ReadWholeFile(second), "0;3,1,0");
    std::string expected = Filled(TriggerFrame(2)) + Filled(ReadRequest(3));
    for (int k = 0; k < 3; ++k) expected += Filled(ReadRequest(12));
    EXPECT_EQ(ReceivedOnTheLine(), expected);
    ExpectOnTime(run, 1000 + kFirstRequestMs + kSilentStationMs);
}
