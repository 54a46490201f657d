// The real scalepoll over a pseudo-terminal: the exact bytes and timing on
// the line, line settings as they reach the device, bytes passing unchanged,
// ports that cannot be had, whole runs against scalepoll-sim, and the line
// trace's account of real faults.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include "poll/Frames.h"
#include "tests/support/Program.h"
#include "tests/support/ReplyBuilder.h"
#include "tests/support/TemporaryDirectory.h"
#include "tests/support/TraceFile.h"

namespace {

// The protocol's times are exact; the machine running the test may be busy.
constexpr std::int64_t kEarlyMs = 100;
constexpr std::int64_t kLateMs = 1500;

std::string Filled(const std::string& frame) { return "\xFF\xFF\xFF" + frame + "\xFF\xFF\xFF"; }

class EndToEnd : public ::testing::Test {
protected:
    std::filesystem::path Output(const std::string& name = "output") const { return directory_.Path() / name; }

    // The tool on `port`, with its settings and stations.
    std::unique_ptr<Program> StartTool(const std::string& port, Strings parameters) {
        parameters.insert(parameters.begin(), SCALEPOLL_BINARY);
        auto program = std::make_unique<Program>(parameters, PortsAt(port), Output());
        EXPECT_TRUE(program->Started());
        return program;
    }

    // The frame expected on the line within the protocol's time after `fromMs`.
    void ExpectFrame(PseudoTerminal& line, const std::string& frame, std::int64_t fromMs, std::int64_t afterMs) {
        std::int64_t at = 0;
        const std::string wanted = Filled(frame);
        EXPECT_EQ(line.Read(wanted.size(), fromMs + afterMs + kLateMs, &at), wanted);
        EXPECT_GE(at - fromMs, afterMs - kEarlyMs);
        EXPECT_LE(at - fromMs, afterMs + kLateMs);
    }

    Finished RunWithSim(Strings simOptions, Strings toolParameters) {
        Strings arguments{SCALEPOLL_SIM_BINARY, "--baud", "19200"};
        arguments.insert(arguments.end(), simOptions.begin(), simOptions.end());
        arguments.insert(arguments.end(), {"--", SCALEPOLL_BINARY, "COM1", "19200", "8", "None", "1"});
        arguments.insert(arguments.end(), toolParameters.begin(), toolParameters.end());
        return RunProgram(arguments, {}, Output());
    }

private:
    TemporaryDirectory directory_;
};

}  // namespace

TEST_F(EndToEnd, TooFewParametersAnswerWithCrLfAndStatusZero) {
    for (const Strings& parameters : {Strings{}, Strings{"COM1", "9600", "8", "None", "1"}}) {
        Strings arguments{SCALEPOLL_BINARY};
        arguments.insert(arguments.end(), parameters.begin(), parameters.end());
        const Finished run = RunProgram(arguments, PortsAt("/nonexistent/scalepoll-line"), Output());
        EXPECT_EQ(run.output, "1;Not enough parameters\r\n");
        EXPECT_EQ(run.status, 0);
    }
}

TEST_F(EndToEnd, SilentStationIsAskedThreeTimesFiveSecondsApart) {
    PseudoTerminal line;
    auto tool = StartTool(line.Path(), {"COM1", "9600", "8", "None", "1", "3"});
    const std::int64_t start = tool->StartMs();
    ExpectFrame(line, TriggerFrame(2), start, 0);
    ExpectFrame(line, ReadRequest(3), start, 5000);
    ExpectFrame(line, ReadRequest(3), start, 10000);
    ExpectFrame(line, ReadRequest(3), start, 15000);
    const Finished run = tool->Wait();
    EXPECT_EQ(run.output, "0;3,1,0");
    EXPECT_EQ(run.status, 0);
    EXPECT_GE(run.wallMs, 20000 - kEarlyMs);
    EXPECT_LE(run.wallMs, 20000 + kLateMs);
}

TEST_F(EndToEnd, ControlAndFillValuesInRepliesPassUnchanged) {
    PseudoTerminal line;
    // Bytes 0, 17, 19 and 255 in status bytes and 13 as a checksum: readings
    // of -0 and 0 that agree, so only a byte changed on the way can fail them.
    const auto reply = [](int station, char checksum) {
        return ReplyBuilder()
            .Address(station)
            .Reading(0, "0000000", 0x00, 0x00)
            .Reading(1, "0000000", 0xFF, 0x00)
            .Reading(2, "0000000", 0x13, 0x00)
            .WithChecksum(checksum)
            .Build();
    };
    auto tool = StartTool(line.Path(), {"COM1", "9600", "8", "None", "1", "3", "4"});
    const std::int64_t start = tool->StartMs();
    ExpectFrame(line, TriggerFrame(2), start, 0);
    ExpectFrame(line, ReadRequest(3), start, 5000);
    line.Write(reply(3, 0x11));
    ExpectFrame(line, ReadRequest(4), SteadyMs(), 0);
    line.Write(reply(4, 0x0D));
    const Finished run = tool->Wait();
    EXPECT_EQ(run.output, "0;3,0,0;4,0,0");
    EXPECT_LE(run.wallMs, 5000 + kLateMs);
}

TEST_F(EndToEnd, LineSettingsReachTheDevice) {
    struct Case {
        const char *speed, *data, *parity, *stop;
        speed_t baud;
        tcflag_t parityFlags;  // what a pseudo-terminal keeps of the parity
        bool twoStopBits;
    };
    const Case cases[] = {
        {"2400", "7", "Odd", "2", B2400, PARODD, true},
        {"19200", "8", "Even", "1", B19200, 0, false},
        {"300", "7", "Mark", "1", B300, PARODD | CMSPAR, false},
        {"600", "7", "Space", "2", B600, CMSPAR, true},
    };
    for (const Case& c : cases) {
        PseudoTerminal line;
        auto tool = StartTool(line.Path(), {"COM1", c.speed, c.data, c.parity, c.stop, "none"});
        ASSERT_EQ(line.Read(15, tool->StartMs() + kLateMs), Filled(TriggerFrame(2)));
        const termios settings = line.TerminalSettings();
        EXPECT_EQ(cfgetospeed(&settings), c.baud) << c.speed;
        EXPECT_EQ(settings.c_cflag & (PARODD | CMSPAR), c.parityFlags) << c.parity;
        EXPECT_EQ((settings.c_cflag & CSTOPB) != 0, c.twoStopBits) << c.stop;
        EXPECT_NE(settings.c_cflag & CLOCAL, 0u);
        EXPECT_EQ(settings.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
        EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(settings.c_oflag & OPOST, 0u);
        EXPECT_EQ(tool->Wait().output, "0;");
    }
}

TEST_F(EndToEnd, PortHeldByAnotherProgramLeavesStationsSilent) {
    PseudoTerminal line;
    const int holder = open(line.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    auto busy = StartTool(line.Path(), {"COM1", "9600", "8", "None", "1", "3"});
    const Finished busyRun = busy->Wait();
    close(holder);
    EXPECT_EQ(busyRun.output, "0;3,1,0");
    EXPECT_EQ(busyRun.status, 0);
    EXPECT_EQ(line.Read(1, SteadyMs() + 100), "");  // nothing was written
}

// The exclusive flag a run sets stays with the terminal while another
// process (here the test, elsewhere a simulator or a getty) holds it open; the
// superuser passes it, so the runs go as an ordinary user.
TEST_F(EndToEnd, AnOrdinaryUserHasThePortAgainAfterARun) {
    PseudoTerminal line;
    ASSERT_EQ(chmod(line.Path().c_str(), 0666), 0);
    for (int run = 1; run <= 2; ++run) {
        Strings parameters{SCALEPOLL_BINARY, "COM1", "9600", "8", "None", "1", "none"};
        if (geteuid() == 0)
            parameters.insert(parameters.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        Program tool(parameters, PortsAt(line.Path()), Output());
        EXPECT_EQ(line.Read(15, tool.StartMs() + kLateMs), Filled(TriggerFrame(2))) << "run " << run;
        EXPECT_EQ(tool.Wait().output, "0;") << "run " << run;
    }
}

TEST_F(EndToEnd, MissingPortLeavesStationsSilent) {
    const Finished missing = RunProgram({SCALEPOLL_BINARY, "COM1", "9600", "8", "None", "1", "14"},
                                        PortsAt("/nonexistent/scalepoll-line"), Output());
    EXPECT_EQ(missing.output, "0;14,1,0");
    EXPECT_EQ(missing.status, 0);
    EXPECT_GE(missing.wallMs, 20000 - kEarlyMs);
}

TEST_F(EndToEnd, StationsAgainstTheSimulator) {
    struct Case {
        Strings sim;
        Strings stations;
        const char* result;
    };
    const Case cases[] = {
        {{"--station", "3:weight=1250", "--station", "5:weight=-40,chunks=3,pause=20", "--station", "12:weight=7"},
         {"12", "3", "5"},
         "0;3,0,1250;5,0,-40;12,0,7"},
        {{"--station", "3:weight=1250", "--station", "5:weight=80,unstable"}, {"3", "5"}, "2;Modem error"},
        {{"--station", "4:weight=1000,disagree"}, {"4"}, "2;Modem error"},
        {{"--station", "2:weight=10,noise=20,answers=2"}, {"2"}, "0;2,0,10"},
    };
    for (const Case& c : cases) {
        const Finished run = RunWithSim(c.sim, c.stations);
        EXPECT_EQ(run.output, c.result);
        EXPECT_EQ(run.status, 0);
    }
}

// Each real reason a port cannot be had, and a setting the device does not
// keep, as the trace tells them; the runs go at once, each 5 s long.
TEST_F(EndToEnd, TraceTellsWhyAPortCouldNotBeHad) {
    PseudoTerminal forbidden, locked, narrowed;
    const bool superuser = geteuid() == 0;
    // The superuser passes every permission: the run goes as nobody then.
    if (!superuser) {
        ASSERT_EQ(chmod(forbidden.Path().c_str(), 0), 0);
    }
    const int holder = open(locked.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    // A bound socket that does not listen: a connect to it is refused.
    const int refusing = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(refusing, reinterpret_cast<sockaddr*>(&address), length), 0);
    getsockname(refusing, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string refused = "socket://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    ASSERT_EQ(chmod(Output("").c_str(), 0755), 0);  // nobody writes its trace here too

    const std::string self = [] {
        std::string comm = ReadWholeFile("/proc/self/comm");
        return comm.substr(0, comm.find('\n'));
    }();
    struct Case {
        std::string com1;
        Strings settings;
        bool asNobody;
        std::string open;  // the open line's start
        Strings settingsLines;
    };
    const Case cases[] = {
        {forbidden.Path(), {"9600", "8", "None", "1"}, superuser,
         "failed permission -- Permission denied; owner ", {}},
        {locked.Path(), {"9600", "8", "None", "1"}, false,
         "failed busy -- Resource temporarily unavailable; held by process " + std::to_string(getpid()) + " (" +
             self + ")", {}},
        {"/nonexistent/scalepoll-line", {"9600", "8", "None", "1"}, false,
         "failed missing -- No such file or directory; the serial adapters present are listed in /dev/serial/by-id/",
         {}},
        {refused, {"9600", "8", "None", "1"}, false,
         "failed refused -- Connection refused; no device server listens at this address", {}},
        // A pseudo-terminal keeps 8 data bits and no parity, whatever is asked.
        {narrowed.Path(), {"2400", "7", "Odd", "2"}, false, "ok",
         {"refused data=7 parity=Odd -- in force 2400 8 None 2"}},
    };
    std::vector<std::unique_ptr<Program>> runs;
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const Case& c = cases[k];
        const std::filesystem::path trace = Output("trace" + std::to_string(k));
        ASSERT_EQ(close(open(trace.c_str(), O_WRONLY | O_CREAT, 0666)), 0);
        ASSERT_EQ(chmod(trace.c_str(), 0666), 0);
        Strings arguments{SCALEPOLL_BINARY, "COM1"};
        arguments.insert(arguments.end(), c.settings.begin(), c.settings.end());
        arguments.push_back("none");
        if (c.asNobody)
            arguments.insert(arguments.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        Strings environment = PortsAt(c.com1);
        environment.push_back("SCALEPOLL_TRACE=" + trace.string());
        runs.push_back(std::make_unique<Program>(arguments, environment, Output("output" + std::to_string(k))));
    }
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const Case& c = cases[k];
        const Finished run = runs[k]->Wait();
        EXPECT_EQ(run.output, "0;") << c.com1;
        EXPECT_GE(run.wallMs, 5000 - kEarlyMs) << c.com1;
        EXPECT_LE(run.wallMs, 5000 + kLateMs) << c.com1;
        const std::filesystem::path trace = Output("trace" + std::to_string(k));
        EXPECT_EQ(TraceLines(trace, "port"), Strings{"COM1 " + c.com1});
        const Strings open = TraceLines(trace, "open");
        ASSERT_EQ(open.size(), 1u) << c.com1;
        EXPECT_TRUE(open[0].starts_with(c.open)) << open[0];
        EXPECT_EQ(TraceLines(trace, "settings"), c.settingsLines) << c.com1;
        EXPECT_EQ(TraceLines(trace, "result"), Strings{"0;"}) << c.com1;
    }
    if (superuser) {
        // A pseudo-terminal's group may write to it at most, not read it.
        EXPECT_TRUE(TraceLines(Output("trace0"), "open")[0].ends_with(": only its owner may open it"));
    }
    close(holder);
    close(refusing);
}

// Runs started at once append to one trace: every line whole and marked, and
// each run's lines, under a mark of its own, all there and in order. Each run
// is 5 s long.
TEST_F(EndToEnd, RunsAtOnceKeepTheirLinesApartInOneTrace) {
    constexpr int kRuns = 24;
    const std::filesystem::path trace = Output("shared-trace");
    std::vector<std::unique_ptr<Program>> runs;
    for (int k = 0; k < kRuns; ++k) {
        Strings environment = PortsAt("/nonexistent/scalepoll-line");
        environment.push_back("SCALEPOLL_TRACE=" + trace.string());
        runs.push_back(std::make_unique<Program>(Strings{SCALEPOLL_BINARY, "COM1", "9600", "8", "None", "1", "none"},
                                                 environment, Output("output" + std::to_string(k))));
    }
    for (auto& run : runs) EXPECT_EQ(run->Wait().output, "0;");
    std::map<std::string, Strings> kindsByMark;
    std::istringstream lines(ReadWholeFile(trace));
    for (std::string line; std::getline(lines, line);) {
        const auto mark = RunMarkOf(line);
        ASSERT_TRUE(mark) << line;
        std::istringstream words(line.substr(mark->size()));
        std::string time, kind;
        words >> time >> kind;
        kindsByMark[*mark].push_back(kind);
    }
    EXPECT_EQ(kindsByMark.size(), static_cast<std::size_t>(kRuns));
    for (const auto& [mark, kinds] : kindsByMark)
        EXPECT_EQ(kinds, (Strings{"run", "port", "open", "trigger", "result"})) << mark;
}

// Each faulty reply scalepoll-sim can send, and the line hung up under the
// run, as the trace tells them; four simulators at once, each run about 20 s.
TEST_F(EndToEnd, TraceTellsEachFaultyReplyOfTheSimulator) {
    struct Case {
        Strings sim;
        Strings stations;
        const char* result;
        Strings replies;
        Strings timeouts;
        Strings faults;
    };
    const std::string bad = ReplyBuilder().BadChecksum().Build();
    const std::string checksum = "not-taken reason=checksum station=3 -- checksum " +
                                 std::to_string(static_cast<std::uint8_t>(bad.back())) + ", the frame needs " +
                                 std::to_string(static_cast<std::uint8_t>(bad.back() - 1));
    const std::string sequence = "not-taken reason=sequence station=4 -- sequence 03, this run's 02";
    const std::string address = "not-taken reason=address -- address 0 names no station 1 to 14";
    const std::string held = "dropped bytes=113 held=3 -- more than 112 bytes before the search; they held a whole "
                             "reply frame";
    const Case cases[] = {
        {{"--station", "2:weight=1250,disagree", "--station", "3:weight=1250,bad-checksum"},
         {"2", "3"},
         "2;Modem error",
         {"modem-error station=2 try=1 cause=disagree reading=2 -- readings 1250 1254 1250; marks V V V; divisions 2 2 2",
          checksum, checksum, checksum},
         // The frame with the wrong checksum waits in the reply buffer.
         {"station=3 try=1 arriving=36", "station=3 try=2 arriving=36", "station=3 try=3 arriving=36"},
         {}},
        {{"--station", "4:weight=1250,wrong-seq", "--station", "6:weight=1250,wrong-address", "--station",
          "7:weight=1250"},
         {"4", "6", "7"},
         "0;4,1,0;6,1,0;7,0,1250",
         {sequence, sequence, sequence, address, address, address, "taken station=7 try=1 weight=1250 settled=yes"},
         {"station=4 try=1", "station=4 try=2", "station=4 try=3"},
         {}},
        // Noise ahead of each reply takes the buffer past 112 bytes with the
        // reply's last byte: every answer is thrown away whole.
        {{"--station", "3:weight=1250,noise=77"},
         {"3"},
         "0;3,1,0",
         {held, held, held},
         {"station=3 try=1", "station=3 try=2", "station=3 try=3"},
         {}},
        // Every read and write fails once the line is gone; one line tells it.
        {{"--station", "3:weight=1250", "--hang-up-at", "7000"},
         {"3", "4"},
         "0;3,0,1250;4,1,0",
         {"taken station=3 try=1 weight=1250 settled=yes"},
         {"station=4 try=1", "station=4 try=2", "station=4 try=3"},
         {"device-gone -- the terminal hung up"}},
    };
    std::vector<std::unique_ptr<Program>> runs;
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        Strings arguments{SCALEPOLL_SIM_BINARY, "--baud", "19200"};
        arguments.insert(arguments.end(), cases[k].sim.begin(), cases[k].sim.end());
        arguments.insert(arguments.end(), {"--", SCALEPOLL_BINARY, "COM1", "19200", "8", "None", "1"});
        arguments.insert(arguments.end(), cases[k].stations.begin(), cases[k].stations.end());
        runs.push_back(std::make_unique<Program>(
            arguments, Strings{"SCALEPOLL_TRACE=" + Output("trace" + std::to_string(k)).string()},
            Output("output" + std::to_string(k))));
    }
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const Case& c = cases[k];
        const Finished run = runs[k]->Wait();
        const std::filesystem::path trace = Output("trace" + std::to_string(k));
        EXPECT_EQ(run.output, c.result);
        EXPECT_EQ(TraceLines(trace, "reply"), c.replies) << c.result;
        EXPECT_EQ(TraceLines(trace, "timeout"), c.timeouts) << c.result;
        EXPECT_EQ(TraceLines(trace, "fault"), c.faults) << c.result;
        EXPECT_EQ(TraceLines(trace, "result"), Strings{c.result});
    }
}
