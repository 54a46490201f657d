// The real scalepoll over a pseudo-terminal: the exact bytes and timing on
// the line, line settings as they reach the device, bytes passing unchanged,
// ports that cannot be had, and whole runs against scalepoll-sim.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "poll/Frames.h"
#include "tests/support/Program.h"
#include "tests/support/ReplyBuilder.h"
#include "tests/support/TemporaryDirectory.h"

namespace {

// The protocol's times are exact; the machine running the test may be busy.
constexpr std::int64_t kEarlyMs = 100;
constexpr std::int64_t kLateMs = 1500;

std::string Filled(const std::string& frame) { return "\xFF\xFF\xFF" + frame + "\xFF\xFF\xFF"; }

class EndToEnd : public ::testing::Test {
protected:
    std::filesystem::path Output() const { return directory_.Path() / "output"; }

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
