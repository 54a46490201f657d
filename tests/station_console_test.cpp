// The station console in virtual time: Ask and Trigger on the line, the
// decoded list of what comes back, and a check with the poll cycle against
// scalepoll's own run on the same replies.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "poll/Frames.h"
#include "poll/Startup.h"
#include "serial/StationConsole.h"
#include "tests/support/FakeSerialPorts.h"
#include "tests/support/ReplyBuilder.h"

namespace {

const std::string kFill(3, '\xFF');

// Stations on the line: each answers its read request 120 ms later with the
// reply its script builds from the last trigger's sequence number and the
// number of requests it has heard.
class Stations {
public:
    using Script = std::function<std::string(int sequence, int request)>;

    Stations(FakeSerialPorts& line, VirtualTime& time) : line_(line), time_(time) {
        line_.onWrite = [this](const std::string& bytes) { Heard(bytes); };
    }
    void Add(int station, Script script) { scripts_[station] = std::move(script); }

private:
    void Heard(const std::string& bytes) {
        for (int sequence = 1; sequence <= 255; ++sequence)
            if (bytes.find(TriggerFrame(sequence)) != std::string::npos) sequence_ = sequence;
        for (auto& [station, script] : scripts_)
            if (bytes.find(ReadRequest(station)) != std::string::npos)
                line_.Arrive(time_.NowMs() + 120, script(sequence_, ++requests_[station]));
    }

    FakeSerialPorts& line_;
    VirtualTime& time_;
    std::map<int, Script> scripts_;
    std::map<int, int> requests_;
    int sequence_ = 0;
};

Stations::Script Good(int station) {
    return [station](int sequence, int) { return ReplyBuilder().Address(station).Sequence(sequence).Build(); };
}

class Captured final : public TextOutput {
public:
    void WriteAndFlush(std::string_view text) override { lines.emplace_back(text); }
    std::vector<std::string> lines;
};

void RunUntil(EventLoop& loop, const std::function<bool()>& done) {
    IntervalTimer watch(loop, 10, [&] {
        if (done()) loop.Quit();
    });
    watch.Enable();
    loop.Run();
}

// A heading begins with the time since the request: "+150 ms  ...".
bool StartsWithTime(const std::string& heading) {
    const std::size_t ms = heading.find(" ms  ");
    return heading.rfind('+', 0) == 0 && ms != std::string::npos && ms > 1 &&
           heading.find_first_not_of("0123456789", 1) == ms;
}

const std::vector<std::string> kSettings = {"COM1", "9600", "8", "None", "1"};

struct StationConsoleFixture : ::testing::Test {
    VirtualTime time;
    EventLoop loop{time};
    FakeSerialPorts line{time};
    Stations stations{line, time};
    StationConsole console{loop, line};
    std::vector<std::string> messages;

    StationConsoleFixture() {
        console.Sarja1.OnMessage = [this](const std::string& text) { messages.push_back(text); };
        console.Sarja1.TakeSettings(kSettings);
        console.OpenPort();
    }
    void Settle(std::int64_t ms = 1000) {
        const std::int64_t until = time.NowMs() + ms;
        RunUntil(loop, [&] { return time.NowMs() >= until; });
    }
    std::vector<std::string> Headings() const {
        std::vector<std::string> headings;
        for (const DecodedEntry& entry : console.Decoded()) headings.push_back(entry.heading);
        return headings;
    }
};

}  // namespace

TEST_F(StationConsoleFixture, AskSendsTheStationsReadRequestAsARunDoes) {
    struct Case {
        const char* station;
        std::string frame;  // empty: nothing goes out
    };
    const Case cases[] = {
        {"1", std::string("\x02" "10?M\x0D\x04", 7)},
        {"9", std::string("\x02" "90?M\x0D\xFC", 7)},
        {"10", std::string("\x02" ":0?M\x0D\xFB", 7)},
        {"14", std::string("\x02" ">0?M\x0D\xF7", 7)},
        {"0", ""},
        {"15", ""},
        {"x", ""},
    };
    for (const Case& c : cases) {
        line.written.clear();
        line.calls.clear();
        messages.clear();
        console.StationText = c.station;
        console.AskClick();
        if (c.frame.empty()) {
            EXPECT_EQ(line.written, "") << c.station;
            ASSERT_EQ(messages.size(), 1u) << c.station;
            EXPECT_NE(messages[0].find(c.station), std::string::npos);
            continue;
        }
        EXPECT_EQ(line.written, kFill + c.frame + kFill) << c.station;
        EXPECT_EQ(line.calls, (std::vector<std::string>{"dtr 0", "write 13", "drain 4000", "dtr 1"})) << c.station;
        EXPECT_TRUE(messages.empty());
    }
}

TEST_F(StationConsoleFixture, TriggerSendsTheNextSequenceNumber) {
    for (int sequence : {2, 3, 4}) {
        line.written.clear();
        console.TriggerClick();
        EXPECT_EQ(line.written, kFill + TriggerFrame(sequence) + kFill);
        EXPECT_EQ(console.LastTrigger(), sequence);
    }
    for (int k = 0; k < 251; ++k) console.TriggerClick();
    EXPECT_EQ(console.LastTrigger(), 255);
    console.TriggerClick();
    EXPECT_EQ(console.LastTrigger(), 1);
}

TEST_F(StationConsoleFixture, RepliesAreListedWithTheVerdictARunWouldGive) {
    const auto reply = [] { return ReplyBuilder().Sequence(2); };
    struct Case {
        std::string bytes;
        std::vector<std::string> headings;  // each entry's heading after the time
        const char* readings;               // of the last entry
    };
    const Case cases[] = {
        {reply().Build(), {"station 3  sequence 02 = trigger  taken: 3,0,1250"},
         "readings  1250 V div 2 | 1250 V div 2 | 1250 V div 2"},
        // Decimal code 2 and the sign bit: shown with the comma, recorded as 0.
        {reply().AllReadings("0001234", 32 + 16 + 2).Build(), {"station 3  sequence 02 = trigger  taken: 3,0,0"},
         "readings  -12,34 V div 2 | -12,34 V div 2 | -12,34 V div 2"},
        {reply().Reading(1, "0001300").Build(), {"station 3  sequence 02 = trigger  modem error: reading 2 disagrees"},
         "readings  1250 V div 2 | 1300 V div 2 | 1250 V div 2"},
        {reply().Reading(2, "0001250", 32, 33 + 16).Build(),
         {"station 3  sequence 02 = trigger  modem error: reading 3 unsettled"},
         "readings  1250 V div 2 | 1250 V div 2 | 1250 L div 2"},
        {reply().BadChecksum().Build(), {"station 3  sequence 02 = trigger  not taken: checksum"}, ""},
        {reply().Sequence(5).Build(), {"station 3  sequence 05, trigger 02  not taken: sequence"}, ""},
        {reply().AddressByte('0').Build(), {"station ?  sequence 02 = trigger  not taken: address names no station"},
         ""},
        // Fill bytes and an echoed request form no frame; the reply after them is found.
        {kFill + ReadRequest(3) + reply().Build(),
         {"no frame: <255><255><255><2>30?M<13><2>", "station 3  sequence 02 = trigger  taken: 3,0,1250"}, ""},
    };
    console.TriggerClick();
    for (const Case& c : cases) {
        console.NollaaClick();
        console.StationText = "3";
        console.AskClick();
        line.Arrive(time.NowMs() + 120, c.bytes);
        Settle();
        const std::vector<std::string> headings = Headings();
        ASSERT_EQ(headings.size(), c.headings.size()) << c.headings[0];
        for (std::size_t k = 0; k < headings.size(); ++k) {
            EXPECT_TRUE(StartsWithTime(headings[k])) << headings[k];
            EXPECT_NE(headings[k].find(c.headings[k]), std::string::npos) << headings[k];
        }
        if (*c.readings != '\0') {
            EXPECT_EQ(console.Decoded().back().readings, c.readings);
        }
    }
}

TEST_F(StationConsoleFixture, AReplyInPiecesIsOneEntryAndNollaaClearsTuloWithTheList) {
    const std::string reply = ReplyBuilder().Build();
    line.Arrive(100, reply.substr(0, 20));
    line.Arrive(300, reply.substr(20));
    Settle();
    ASSERT_EQ(Headings().size(), 1u);
    EXPECT_EQ(Headings()[0], "(no request)  station 3  sequence 02, no trigger sent  not taken: sequence");
    EXPECT_NE(console.Sarja1.Tulo.find("!0001250<13>"), std::string::npos);
    console.NollaaClick();
    EXPECT_TRUE(console.Decoded().empty());
    EXPECT_EQ(console.Sarja1.Tulo, "");
}

// The check is scalepoll's run: the same bytes at the same times on the line
// and the same result line, station 2 silent.
TEST(StationConsoleCheck, GivesScalepollsRunOnTheSameReplies) {
    struct Line {
        VirtualTime time;
        EventLoop loop{time};
        FakeSerialPorts ports{time};
        Stations stations{ports, time};
        Line() {
            stations.Add(1, Good(1));
            stations.Add(3, Good(3));
        }
    };
    Line run;
    Captured output;
    std::vector<std::string> parameters = kSettings;
    parameters.insert(parameters.end(), {"1", "2", "3"});
    RunTool(parameters, run.loop, output, run.ports);
    ASSERT_EQ(output.lines, (std::vector<std::string>{"0;1,0,1250;2,1,0;3,0,1250"}));

    Line check;
    StationConsole console(check.loop, check.ports);
    console.Sarja1.TakeSettings(kSettings);
    console.OpenPort();
    console.Ticked[0] = console.Ticked[1] = console.Ticked[2] = true;
    check.time.Advance(-check.time.NowMs());
    console.PollClick();
    RunUntil(check.loop, [&] { return !console.Checking(); });

    EXPECT_EQ(std::deque<std::string>(output.lines.begin(), output.lines.end()), console.ResultLines());
    EXPECT_EQ(check.ports.written, run.ports.written);
    EXPECT_EQ(check.ports.writeTimes, run.ports.writeTimes);
    EXPECT_EQ(console.Tally(1).firstTry, 1);
    EXPECT_EQ(console.Tally(1).answerMs, (std::vector<std::int64_t>{150}));
    EXPECT_EQ(console.Tally(2).silent, 1);
    EXPECT_EQ(console.Tally(3).firstTry, 1);
    EXPECT_EQ(console.CheckState(), "check done: 1 cycle");
}

TEST_F(StationConsoleFixture, ARepeatedCheckCountsEachStationsOutcomesUntilStopped) {
    stations.Add(1, Good(1));
    stations.Add(2, [](int sequence, int) { return ReplyBuilder().Address(2).Sequence(sequence).BadChecksum().Build(); });
    stations.Add(3, [](int sequence, int) {
        return ReplyBuilder().Address(3).Sequence(sequence).Reading(2, "0001250", 32, 33 + 16).Build();
    });
    // Station 4 answers only every other request: at the second try of each cycle.
    stations.Add(4, [](int sequence, int request) {
        return ReplyBuilder().Address(4).Sequence(request % 2 == 0 ? sequence : sequence + 1).Build();
    });
    for (int n = 1; n <= 4; ++n) console.Ticked[static_cast<std::size_t>(n - 1)] = true;
    console.Repeat = true;
    console.PollClick();
    RunUntil(loop, [&] { return console.ResultLines().size() == 2; });
    console.StopClick();
    EXPECT_FALSE(console.Checking());
    const std::size_t written = line.written.size();
    Settle(60000);
    EXPECT_EQ(line.written.size(), written) << "nothing goes out after Stop";

    EXPECT_EQ(console.ResultLines(), (std::deque<std::string>{"2;Modem error", "2;Modem error"}));
    struct Expected {
        int station, firstTry, laterTry, silent, checksum, sequence, modemErrors;
    };
    // Station 3 answers at its second try, as in a run: station 2's three
    // frames with a wrong checksum leave 108 bytes in the reply buffer, and
    // station 3's first reply takes it past 112, so the run drops them all.
    for (const Expected& e : {Expected{1, 2, 0, 0, 0, 0, 0}, Expected{2, 0, 0, 2, 6, 0, 0},
                              Expected{3, 0, 2, 0, 0, 0, 2}, Expected{4, 0, 2, 0, 0, 2, 0}}) {
        const StationTally& t = console.Tally(e.station);
        EXPECT_EQ(std::vector({t.firstTry, t.laterTry, t.silent, t.checksum, t.sequence, t.modemErrors}),
                  std::vector({e.firstTry, e.laterTry, e.silent, e.checksum, e.sequence, e.modemErrors}))
            << "station " << e.station;
    }
    const std::vector<std::string> table = console.CheckTable();
    ASSERT_EQ(table.size(), 5u);
    EXPECT_EQ(table[0], "station first later silent checksum sequence modem last ms median ms   weight");
    EXPECT_EQ(table[1], "      1     2     0      0        0        0     0     150       150     1250");
    EXPECT_EQ(table[2], "      2     0     0      2        6        0     0       -         -        -");
}

TEST_F(StationConsoleFixture, PortFailuresAreShownAndTheConsoleGoesOn) {
    line.missing = {2};
    console.Sarja1.PorttiNo = "COM2";
    console.OpenPort();
    EXPECT_EQ(console.PortProblem(), "COM2 (/dev/fake2) cannot be opened: missing -- No such file or directory");
    console.Sarja1.PorttiNo = "COM1";
    console.OpenPort();
    EXPECT_EQ(console.PortProblem(), "");

    stations.Add(1, Good(1));
    console.Ticked[0] = true;
    console.PollClick();
    Settle(6000);
    line.gone = true;
    Settle(20000);
    EXPECT_EQ(console.PortProblem().rfind("COM1 failed: device-gone -- ", 0), 0u) << console.PortProblem();
    EXPECT_EQ(console.ResultLines(), (std::deque<std::string>{"0;1,0,1250"}));
    console.StationText = "1";
    console.AskClick();  // goes nowhere, harms nothing
    EXPECT_EQ(line.openPorts, 1);
}

TEST(StationConsoleLifetime, ClosingTheConsoleFreesThePortMidCheck) {
    VirtualTime time;
    EventLoop loop{time};
    FakeSerialPorts line{time};
    {
        StationConsole console(loop, line);
        console.Sarja1.TakeSettings(kSettings);
        console.OpenPort();
        console.Ticked[4] = true;
        console.PollClick();
        time.Advance(7000);
        loop.RunDue();
        ASSERT_EQ(line.openPorts, 1);
    }
    EXPECT_EQ(line.openPorts, 0);
}
