// Frame bytes and the reply search, on plain byte strings.
#include <gtest/gtest.h>

#include "poll/Frames.h"
#include "tests/support/ReplyBuilder.h"

namespace {
std::string Bytes(std::initializer_list<int> values) {
    std::string text;
    for (int v : values) text += static_cast<char>(v);
    return text;
}
}  // namespace

TEST(Frames, TriggerFrameBytes) {
    EXPECT_EQ(TriggerFrame(2), Bytes({2, 42, 48, 77, 87, 48, 50, 13, 145}));
    EXPECT_EQ(TriggerFrame(1).substr(5, 2), "01");
    EXPECT_EQ(TriggerFrame(255).substr(5, 2), "FF");
}

TEST(Frames, ReadRequestBytes) {
    EXPECT_EQ(ReadRequest(1), Bytes({2, 49, 48, 63, 77, 13, 4}));
    const std::tuple<int, int, int> cases[] = {{9, 57, 252}, {10, 58, 251}, {14, 62, 247}};
    for (const auto& [station, address, checksum] : cases) {
        const std::string request = ReadRequest(station);
        ASSERT_EQ(request.size(), 7u);
        EXPECT_EQ(static_cast<std::uint8_t>(request[1]), address) << station;
        EXPECT_EQ(static_cast<std::uint8_t>(request[6]), checksum) << station;
    }
}

TEST(Frames, ChecksumMakesFrameSumZero) {
    EXPECT_EQ(LasCrC(Bytes({0})), 0);
    EXPECT_EQ(static_cast<std::uint8_t>(LasCrC(Bytes({1}))), 255);
    EXPECT_EQ(static_cast<std::uint8_t>(LasCrC(Bytes({200, 100}))), 212);
}

TEST(Frames, AddressCharacters) {
    EXPECT_EQ(VtunToASCtun("01"), "1");
    EXPECT_EQ(VtunToASCtun("14"), ">");
    EXPECT_EQ(VtunToASCtun("xyz"), "0");
    EXPECT_EQ(ASCtunToVtun("1"), "01");
    EXPECT_EQ(ASCtunToVtun(">"), "14");
    EXPECT_EQ(ASCtunToVtun("0"), "00");
    EXPECT_EQ(ASCtunToVtun(Bytes({148})), "10");
    EXPECT_EQ(ASCtunToVtun(Bytes({0})), "-4");
}

TEST(ReplySearch, FindsFramesAmongOtherBytes) {
    const std::string good = ReplyBuilder().Build();
    std::string corrupted = good;
    corrupted[10] = 'X';
    const std::string fill(3, '\xFF');
    const std::string other = ReplyBuilder().Address(5).Build();

    struct Case {
        const char* name;
        std::string buffer;
        bool found;
    };
    const Case cases[] = {
        {"exact frame", good, true},
        {"35 bytes", good.substr(0, 35), false},
        {"junk before", "abc\x02xyz" + good, true},
        {"fill bytes before and after", fill + good + fill, true},
        {"corrupted then valid", corrupted + good, true},
        {"two frames", good + other, true},
        {"corrupted only", corrupted, false},
        {"empty", "", false},
    };
    for (const Case& c : cases) {
        std::string buffer = c.buffer;
        EXPECT_EQ(HaeSanoma(buffer), c.found) << c.name;
        EXPECT_EQ(buffer, c.found ? good : c.buffer) << c.name;
    }
}

TEST(ReplySearch, ChecksumByteOf2Or13IsAccepted) {
    for (int wanted : {2, 13}) {
        const std::string reply = ReplyBuilder().WithChecksum(static_cast<char>(wanted)).Build();
        ASSERT_EQ(reply.back(), static_cast<char>(wanted));
        std::string buffer = "\x02\x02" + reply;
        EXPECT_TRUE(HaeSanoma(buffer)) << wanted;
        EXPECT_EQ(buffer, reply);
    }
}
