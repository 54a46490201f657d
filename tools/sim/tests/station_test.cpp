// A station's reply bytes and what each script setting does to them, read back
// with the tool's own frame search and reply decoding.
#include <gtest/gtest.h>

#include "poll/Frames.h"
#include "poll/Reply.h"
#include "tools/sim/Station.h"

namespace {

std::string Joined(const Answer& answer) {
    std::string bytes;
    for (const std::string& piece : answer.pieces) bytes += piece;
    return bytes;
}

std::string ReplyOf(std::string_view stationText, int sequence = 2) {
    const StationEntry entry = ParseStation(stationText);
    return Joined(AnswerFor(entry.script, entry.station, sequence));
}

}  // namespace

TEST(StationReply, WorkedReplyByteForByte) {
    const std::string expected = std::string("\x02" "0302") + "\x20\x21" "0001250 " "\x20\x21" "0001250 " +
                                 "\x20\x21" "0001250" "\x0D" + static_cast<char>(33);
    EXPECT_EQ(ReplyOf("3:weight=1250"), expected);
    EXPECT_EQ(ReplyOf("14:weight=1250", 0xAB).substr(2, 3), ">AB");
}

TEST(StationReply, SettingsAsTheToolReadsThem) {
    struct Case {
        const char* station;
        const char* weight;  // as the reading check chooses it
        const char* division;
        bool checkFails;
        int sequence;  // echoed; the trigger's is 2
        bool found;    // the frame search accepts it
    };
    const Case cases[] = {
        {"3:weight=1250", "1250", "2", false, 2, true},
        {"3:weight=-1250", "-1250", "2", false, 2, true},
        {"3:weight=1234,decimals=2", "12,34", "2", false, 2, true},
        {"3:weight=-5,decimals=3", "-0,005", "2", false, 2, true},
        {"3:weight=1250,division=3", "1250", "10", false, 2, true},
        {"3:weight=1250,division=0", "1250", "1", false, 2, true},
        {"3:weight=1250,unstable", "1250", "2", true, 2, true},
        {"3:weight=1250,disagree", "", "2", true, 2, true},
        {"3:weight=1250,disagree,division=8", "", "500", true, 2, true},
        {"3:weight=9999999,disagree", "", "2", true, 2, true},
        {"3:weight=1250,wrong-seq", "1250", "2", false, 3, true},
        {"3:weight=1250,bad-checksum", "", "", false, 0, false},
        {"3:weight=1250,wrong-address", "1250", "2", false, 2, true},
    };
    for (const Case& c : cases) {
        std::string frame = ReplyOf(c.station);
        ASSERT_EQ(frame.size(), frame::kReplySize) << c.station;
        EXPECT_EQ(HaeSanoma(frame), c.found) << c.station;
        if (!c.found) continue;
        EXPECT_EQ(ReplySequenceNumber(frame), c.sequence) << c.station;
        const ReplyReadings readings = DecodeReadings(frame);
        EXPECT_EQ(readings[0].division, c.division) << c.station;
        std::string weight, mark;
        bool error = false;
        TarkTiedot(readings, weight, mark, error);
        EXPECT_EQ(weight, c.weight) << c.station;
        EXPECT_EQ(error, c.checkFails) << c.station;
    }
}

TEST(StationReply, WrongSequenceNeverEchoesTheTrigger) {
    const StationScript script = ParseStation("3:wrong-seq").script;
    for (int sequence : {0, 1, 254, 255}) {
        const std::string frame = Joined(AnswerFor(script, 3, sequence));
        EXPECT_NE(ReplySequenceNumber(frame), sequence);
        EXPECT_NE(ReplySequenceNumber(frame), 0) << "sequence numbers run 01..FF";
    }
}

TEST(StationAnswer, PiecesPausesAndDelay) {
    const Answer answer = AnswerFor(ParseStation("3:weight=1250,chunks=5,pause=40,delay=250").script, 3, 2);
    EXPECT_EQ(answer.delayMs, 250);
    EXPECT_EQ(answer.pauseMs, 40);
    ASSERT_EQ(answer.pieces.size(), 5u);
    for (const std::string& piece : answer.pieces) EXPECT_GE(piece.size(), 7u);
    EXPECT_EQ(Joined(answer), ReplyOf("3:weight=1250"));
    EXPECT_EQ(AnswerFor(ParseStation("3").script, 3, 2).delayMs, 100);
}

TEST(StationAnswer, NoiseNeverHidesOrImitatesTheReply) {
    const std::string reply = ReplyOf("3:weight=1250");
    for (int noise = 1; noise <= 60; ++noise) {
        std::string bytes = ReplyOf("3:weight=1250,noise=" + std::to_string(noise));
        ASSERT_EQ(bytes.size(), reply.size() + static_cast<std::size_t>(noise));
        EXPECT_TRUE(HaeSanoma(bytes)) << noise;
        EXPECT_EQ(bytes, reply) << noise;
    }
}

TEST(StationSettings, ReadFromText) {
    const StationEntry entry = ParseStation("14:weight=-5,decimals=1,division=8,answers=2,noise=3,silent");
    EXPECT_EQ(entry.station, 14);
    EXPECT_EQ(entry.script.weight, -5);
    EXPECT_EQ(entry.script.decimals, 1);
    EXPECT_EQ(entry.script.division, 8);
    EXPECT_EQ(entry.script.answersFrom, 2);
    EXPECT_EQ(entry.script.noise, 3);
    EXPECT_TRUE(entry.script.silent);
    EXPECT_FALSE(entry.script.unstable);
}

TEST(StationSettings, RejectedTexts) {
    for (const char* text : {"", "0", "15", "x", "3:", "3:weight", "3:weight=", "3:weight=abc", "3:weight=+5",
                             "3:weight=10000000", "3:weight=-10000000", "3:decimals=4", "3:division=9",
                             "3:chunks=0", "3:chunks=37", "3:silent=1", "3:bogus", "3:weight=1,,silent",
                             "3:weight=1,"}) {
        EXPECT_THROW(ParseStation(text), UsageError) << text;
    }
}

TEST(StationReply, WrongAddressNamesNoStation) {
    const std::string frame = Joined(AnswerFor(ParseStation("3:wrong-address").script, 3, 2));
    EXPECT_EQ(AddressedStation(frame), std::nullopt);
}
