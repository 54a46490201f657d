// Whole weighing runs in virtual time against a scripted line.
#include <gtest/gtest.h>

#include "poll/Frames.h"
#include "poll/Unit1.h"
#include "tests/support/ReplyBuilder.h"
#include "tests/support/ScriptedLine.h"

namespace {

struct RunFixture : ::testing::Test {
    VirtualTime time;
    EventLoop loop{time};
    ScriptedLine line{loop};
    CapturedOutput output{loop};
    TForm1 form{loop, line, output};

    RunFixture() { line.receiver = &form; }

    void Run(std::initializer_list<int> stations) {
        for (int station : stations) form.SelectStation(station);
        form.PunnitusClick();
        loop.Run();
    }
    // Station n answers each read request after delayMs with the given reply.
    void Answers(int station, std::int64_t delayMs, std::function<std::string()> reply) {
        auto previous = line.onFrame;
        line.onFrame = [this, station, delayMs, reply, previous](const std::string& frame) {
            if (previous) previous(frame);
            if (frame == ReadRequest(station)) line.After(delayMs, reply());
        };
    }
    std::vector<std::int64_t> RequestTimes(int station) const {
        std::vector<std::int64_t> times;
        for (const auto& sent : line.sent)
            if (sent.frame == ReadRequest(station)) times.push_back(sent.atMs);
        return times;
    }
    using Times = std::vector<std::int64_t>;
};

std::string Reply(int station, const std::string& digits = "0001250", int sequence = 2) {
    return ReplyBuilder().Address(station).Sequence(sequence).AllReadings(digits).Build();
}

}  // namespace

TEST_F(RunFixture, SilentStationsAreAskedThreeTimesThenReported) {
    Run({1, 14});
    ASSERT_FALSE(line.sent.empty());
    EXPECT_EQ(line.sent[0].frame, TriggerFrame(2));
    EXPECT_EQ(line.sent[0].atMs, 0);
    EXPECT_EQ(RequestTimes(1), (Times{5000, 10000, 15000}));
    EXPECT_EQ(RequestTimes(14), (Times{20000, 25000, 30000}));
    EXPECT_EQ(line.sent.size(), 7u);
    EXPECT_EQ(output.Text(), "0;1,1,0;14,1,0");
    EXPECT_EQ(output.writtenAtMs, 35000);
    EXPECT_EQ(output.writes, 1);
    EXPECT_FALSE(form.Timer1Enabled());
}

TEST_F(RunFixture, AnsweringStationsEndTheRunAtTheLastReply) {
    Answers(3, 200, [] { return Reply(3); });
    Answers(5, 150, [] { return Reply(5, "0000042"); });
    Answers(12, 100, [] { return Reply(12, "0000000"); });
    Run({12, 3, 3, 5});
    EXPECT_EQ(RequestTimes(3), (Times{5000}));
    EXPECT_EQ(RequestTimes(5), (Times{5200}));
    EXPECT_EQ(RequestTimes(12), (Times{5350}));
    EXPECT_EQ(output.Text(), "0;3,0,1250;5,0,42;12,0,0");
    EXPECT_EQ(output.writtenAtMs, 5450);
}

TEST_F(RunFixture, ReplyInPiecesIsFoundOnItsLastByte) {
    const std::string reply = Reply(3);
    line.onFrame = [&](const std::string& frame) {
        if (frame != ReadRequest(3)) return;
        line.After(50, "\xFF\xFF" + reply.substr(0, 20));
        line.After(100, reply.substr(20));
    };
    Run({3});
    EXPECT_EQ(output.Text(), "0;3,0,1250");
    EXPECT_EQ(output.writtenAtMs, 5100);
}

TEST_F(RunFixture, ReplyBeforeFirstTickLeavesTwoRequestsWithFreshTimer) {
    line.At(1000, Reply(3, "0000700"));
    Run({3});
    EXPECT_EQ(RequestTimes(3), (Times{1000, 6000}));
    EXPECT_EQ(form.StationAt(3).tries, 3);
    EXPECT_EQ(output.Text(), "0;3,0,700");
    EXPECT_EQ(output.writtenAtMs, 11000);
}

TEST_F(RunFixture, LateReplyOfGivenUpStationIsRecordedAndCurrentStationAskedAgain) {
    line.At(22000, Reply(1, "0000222"));  // station 1 was passed over at 20000
    Run({1, 2});
    EXPECT_EQ(RequestTimes(1), (Times{5000, 10000, 15000}));
    EXPECT_EQ(RequestTimes(2), (Times{20000, 22000, 27000}));
    EXPECT_EQ(form.StationAt(1).requestState, 2);
    EXPECT_EQ(output.Text(), "0;1,0,222;2,1,0");
    EXPECT_EQ(output.writtenAtMs, 32000);
}

TEST_F(RunFixture, StationAnsweringTwiceKeepsItsLastReplyAndIsNotAskedAgain) {
    Answers(3, 100, [] { return Reply(3, "0000010"); });
    line.At(5300, Reply(3, "0000020"));
    Run({3, 4});
    EXPECT_EQ(RequestTimes(3), (Times{5000}));
    EXPECT_EQ(RequestTimes(4), (Times{5100, 5300, 10300}));
    EXPECT_EQ(form.StationAt(3).requestState, 3);
    EXPECT_EQ(output.Text(), "0;3,0,20;4,1,0");
}

TEST_F(RunFixture, UnselectedStationIsRecordedButNeverListed) {
    line.At(5500, Reply(9, "0000099"));
    Answers(3, 1000, [] { return Reply(3); });
    Run({3});
    EXPECT_EQ(form.StationAt(9).weight, 99);
    EXPECT_TRUE(form.StationAt(9).settled);
    EXPECT_EQ(output.Text(), "0;3,0,1250");
}

TEST_F(RunFixture, UnstableReplyFromAnyStationGivesModemErrorAfterTheWholeRun) {
    line.At(5500, ReplyBuilder().Address(9).AllReadings("0000099", 0x20, 0x31).Build());
    Run({3});
    EXPECT_TRUE(form.ErrorFlag());
    EXPECT_EQ(form.StationAt(9).weight, 99);
    EXPECT_FALSE(form.StationAt(9).settled);
    EXPECT_EQ(RequestTimes(3).size(), 3u);  // the run still asks every station
    EXPECT_EQ(output.Text(), "2;Modem error");
}

TEST_F(RunFixture, DisagreeingReadingsRecordZeroAndCountAsAnswered) {
    Answers(3, 100, [] {
        return ReplyBuilder().Reading(0, "0001000").Reading(1, "0001009").Reading(2, "0001000").Build();
    });
    Run({3});
    EXPECT_EQ(RequestTimes(3).size(), 1u);
    EXPECT_EQ(form.StationAt(3).weight, 0);
    EXPECT_FALSE(form.StationAt(3).settled);
    EXPECT_EQ(output.Text(), "2;Modem error");
}

TEST_F(RunFixture, ReplyWithDecimalCommaOrUndefinedCodesIsNeverAGoodWeight) {
    Answers(3, 100, [] { return ReplyBuilder().Address(3).AllReadings("0001250", 0x21).Build(); });
    Answers(4, 100, [] { return ReplyBuilder().Address(4).AllReadings("0001250", 0x25).Build(); });
    Run({3, 4});
    EXPECT_EQ(form.StationAt(3).weight, 0);  // 125,0 is no whole number
    EXPECT_TRUE(form.StationAt(3).settled);
    EXPECT_FALSE(form.StationAt(4).settled);
    EXPECT_EQ(output.Text(), "2;Modem error");
}

TEST_F(RunFixture, WrongSequenceFrameIsDroppedAndTheNextReplyAccepted) {
    line.onFrame = [&](const std::string& frame) {
        if (frame != ReadRequest(3)) return;
        line.After(100, Reply(3, "0000001", 7));
        line.After(200, Reply(3, "0000002"));
    };
    Run({3});
    EXPECT_EQ(output.Text(), "0;3,0,2");
    EXPECT_EQ(output.writtenAtMs, 5200);
}

TEST_F(RunFixture, ReplyBufferIsEmptiedPast112Bytes) {
    line.onFrame = [&](const std::string& frame) {
        if (frame != ReadRequest(3)) return;
        line.After(100, std::string(100, 'x'));
        line.After(200, Reply(3));  // 136 bytes: all dropped
        line.After(300, Reply(3, "0000005"));
    };
    Run({3});
    EXPECT_EQ(output.Text(), "0;3,0,5");
    EXPECT_EQ(output.writtenAtMs, 5300);
}

TEST_F(RunFixture, AddressOfNoStationIsConsumedAndMovesOn) {
    line.At(5500, ReplyBuilder().AddressByte('0').Build());
    Run({3});
    EXPECT_EQ(RequestTimes(3), (Times{5000, 5500, 10500}));
    EXPECT_EQ(output.Text(), "0;3,1,0");
}

TEST_F(RunFixture, NoStationSelectedEndsAtFirstTick) {
    Run({});
    EXPECT_EQ(output.Text(), "0;");
    EXPECT_EQ(output.writtenAtMs, 5000);
}

TEST_F(RunFixture, StationNumbersOutsideTheTablesAreSkipped) {
    Run({0, 15, -1, 100000});
    EXPECT_EQ(output.Text(), "0;");
}

TEST_F(RunFixture, SequenceNumberRunsTo255ThenWrapsTo1) {
    for (int run = 0; run < 255; ++run) {
        form.PunnitusClick();
        loop.Run();
    }
    ASSERT_EQ(line.sent.size(), 255u);
    EXPECT_EQ(line.sent[0].frame, TriggerFrame(2));
    EXPECT_EQ(line.sent[253].frame.substr(5, 2), "FF");
    EXPECT_EQ(line.sent[254].frame.substr(5, 2), "01");
    EXPECT_EQ(form.SequenceNumber(), 1);
}
