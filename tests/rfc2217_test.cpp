// The Telnet / RFC 2217 bytes a client sends to a serial device server, and
// the reading of what the server sends back, as tables of byte strings.
#include <gtest/gtest.h>

#include "platform/network/Rfc2217.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (const int value : values) bytes += static_cast<char>(value);
    return bytes;
}

// IAC SB COM-PORT-OPTION <command> <payload> IAC SE
std::string ComPort(std::initializer_list<int> commandAndPayload) {
    return Bytes({255, 250, 44}) + Bytes(commandAndPayload) + Bytes({255, 240});
}

struct Decoded {
    std::string data;
    std::string answers;
    bool operator==(const Decoded&) const = default;
};

// Decodes the chunks in turn with one decoder, dropping data until the
// server acknowledges a purge when asked to.
Decoded DecodeChunks(const std::vector<std::string>& chunks, bool afterPurge = false) {
    TelnetDecoder decoder;
    if (afterPurge) decoder.DropUntilPurgeAcknowledged();
    Decoded decoded;
    for (std::string chunk : chunks) {
        auto* bytes = reinterpret_cast<std::uint8_t*>(chunk.data());
        const std::size_t kept = decoder.Decode(bytes, chunk.size(), bytes, decoded.answers);
        decoded.data.append(chunk.data(), kept);
    }
    return decoded;
}

}  // namespace

TEST(Rfc2217, OpeningAsksForTheComPortOptionBinaryAndNoGoAhead) {
    EXPECT_EQ(OpeningNegotiation(), Bytes({255, 251, 44, 255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3}));
}

TEST(Rfc2217, DataBytes255AreDoubled) {
    EXPECT_EQ(EncodeData(""), "");
    EXPECT_EQ(EncodeData("\x02" "30?M\r"), "\x02" "30?M\r");
    EXPECT_EQ(EncodeData(Bytes({255, 255, 255, 2, 0, 254, 255})),
              Bytes({255, 255, 255, 255, 255, 255, 2, 0, 254, 255, 255}));
}

// Outside binary mode a CR goes as CR NUL, whatever follows it.
TEST(Rfc2217, DataOutsideBinaryModeSendsCrAsCrNul) {
    EXPECT_EQ(EncodeData("\x02" "30?M\r\x02", false), Bytes({2, '3', '0', '?', 'M', 13, 0, 2}));
    EXPECT_EQ(EncodeData(Bytes({13, 10, 255, 13}), false), Bytes({13, 0, 10, 255, 255, 13, 0}));
    TelnetDecoder decoder;
    std::string answers;
    EXPECT_TRUE(decoder.SendingBinary()) << "binary is taken as agreed until the server refuses it";
    std::string dont = Bytes({255, 254, 0});
    decoder.Decode(reinterpret_cast<const std::uint8_t*>(dont.data()), dont.size(),
                   reinterpret_cast<std::uint8_t*>(dont.data()), answers);
    EXPECT_FALSE(decoder.SendingBinary());
    EXPECT_EQ(answers, "");
}

TEST(Rfc2217, LineSettingCommands) {
    struct Case {
        CommState state;
        std::string commands;
    };
    CommState defaults;
    CommState sevenEvenTwoDtrLow;
    sevenEvenTwoDtrLow.baudRate = 4800;
    sevenEvenTwoDtrLow.byteSize = 7;
    sevenEvenTwoDtrLow.parity = 2;
    sevenEvenTwoDtrLow.stopBits = 2;
    sevenEvenTwoDtrLow.dtrEnable = false;
    CommState markOneAndHalfHandshake;
    markOneAndHalfHandshake.baudRate = 511;  // 00 00 01 FF: the 255 doubled inside the command
    markOneAndHalfHandshake.byteSize = 5;
    markOneAndHalfHandshake.parity = 3;
    markOneAndHalfHandshake.stopBits = 1;
    markOneAndHalfHandshake.rtsCtsHandshake = true;
    CommState oddXonXoff;
    oddXonXoff.baudRate = 19200;
    oddXonXoff.parity = 1;
    oddXonXoff.xonXoff = true;
    CommState space;
    space.parity = 4;
    const Case cases[] = {
        {defaults, ComPort({1, 0, 0, 0x25, 0x80}) + ComPort({2, 8}) + ComPort({3, 1}) + ComPort({4, 1}) +
                       ComPort({5, 1}) + ComPort({5, 12}) + ComPort({5, 8})},
        {sevenEvenTwoDtrLow, ComPort({1, 0, 0, 0x12, 0xC0}) + ComPort({2, 7}) + ComPort({3, 3}) + ComPort({4, 2}) +
                                 ComPort({5, 1}) + ComPort({5, 12}) + ComPort({5, 9})},
        // With hardware handshake the server moves RTS itself.
        {markOneAndHalfHandshake, ComPort({1, 0, 0, 1, 255, 255}) + ComPort({2, 5}) + ComPort({3, 4}) +
                                      ComPort({4, 3}) + ComPort({5, 3}) + ComPort({5, 8})},
        {oddXonXoff, ComPort({1, 0, 0, 0x4B, 0x00}) + ComPort({2, 8}) + ComPort({3, 2}) + ComPort({4, 1}) +
                         ComPort({5, 2}) + ComPort({5, 12}) + ComPort({5, 8})},
        {space, ComPort({1, 0, 0, 0x25, 0x80}) + ComPort({2, 8}) + ComPort({3, 5}) + ComPort({4, 1}) +
                    ComPort({5, 1}) + ComPort({5, 12}) + ComPort({5, 8})},
    };
    for (const Case& c : cases) EXPECT_EQ(LineSettingCommands(c.state), c.commands) << c.state.baudRate;
}

TEST(Rfc2217, DtrAndPurgeCommands) {
    EXPECT_EQ(DtrCommand(true), ComPort({5, 8}));
    EXPECT_EQ(DtrCommand(false), ComPort({5, 9}));
    EXPECT_EQ(PurgeCommand(true, false), ComPort({12, 1}));
    EXPECT_EQ(PurgeCommand(false, true), ComPort({12, 2}));
    EXPECT_EQ(PurgeCommand(true, true), ComPort({12, 3}));
    EXPECT_EQ(PurgeCommand(false, false), "");
}

// What a server sends, the data kept and the answers owed, however the bytes
// are split across reads: whole, one byte a read, and cut in two anywhere.
TEST(Rfc2217, DecoderKeepsDataDropsCommandsAndAnswersOnlyNewRequests) {
    struct Case {
        const char* name;
        std::string received;
        Decoded decoded;
    };
    // std::string("a") + ..., not "a" + ...: GCC 12 at -O3 reports a false
    // -Wrestrict for a one-character literal in front of a string (bug 105329).
    const Case cases[] = {
        {"plain data", "0302 !", {"0302 !", ""}},
        {"doubled 255 is one data byte", std::string("a") + Bytes({255, 255, 255, 255}) + "b",
         {std::string("a") + Bytes({255, 255}) + "b", ""}},
        {"notifications dropped", std::string("a") + ComPort({107, 0x30}) + "b" + ComPort({106, 255, 255}) + "c",
         {"abc", ""}},
        {"signature with command bytes inside", ComPort({100}) + "x" + ComPort({107, 253, 1, 251}) + "y",
         {"xy", ""}},
        {"acknowledgements of our requests are not answered",
         Bytes({255, 253, 44, 255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3}) + ComPort({105, 8}) +
             ComPort({101, 0, 0, 0x25, 0x80}),
         {"", ""}},
        {"requests we do not use are refused", Bytes({255, 251, 1, 255, 253, 1, 255, 253, 24, 255, 251, 5}),
         {"", Bytes({255, 254, 1, 255, 252, 1, 255, 252, 24, 255, 254, 5})}},
        {"refusals of what we never did are not answered", Bytes({255, 254, 1, 255, 252, 1, 255, 254, 24}), {"", ""}},
        {"a refusal of our request is taken silently; a later offer is agreed",
         Bytes({255, 252, 0, 255, 254, 3, 255, 251, 0, 255, 253, 3}),
         {"", Bytes({255, 253, 0, 255, 251, 3})}},
        {"an agreed option switched off is confirmed once", Bytes({255, 251, 3, 255, 252, 3, 255, 252, 3}),
         {"", Bytes({255, 254, 3})}},
        {"two-byte commands dropped",
         std::string("a") + Bytes({255, 241}) + "b" + Bytes({255, 249, 255, 242, 255, 240}) + "c",
         {"abc", ""}},
        {"an unterminated subnegotiation ends at the next command",
         Bytes({255, 250, 44, 6, 255, 251, 1}) + "z", {"z", Bytes({255, 254, 1})}},
        {"a repeated request is refused once", Bytes({255, 251, 99, 255, 251, 99, 255, 253, 99, 255, 251, 99,
                                                      255, 252, 99, 255, 251, 99, 255, 253, 99}),
         {"", Bytes({255, 254, 99, 255, 252, 99})}},
        {"binary refused: CR NUL is a CR, CR LF stays",
         Bytes({255, 252, 0}) + "a" + Bytes({13, 0}) + "b" + Bytes({13, 10, 13, 13, 0, 0}),
         {std::string("a") + Bytes({13}) + "b" + Bytes({13, 10, 13, 13, 0}), ""}},
        {"binary refused: a command between CR and NUL", Bytes({255, 252, 0, 13, 255, 241, 0, 13}),
         {Bytes({13, 13}), ""}},
        {"binary agreed or not yet answered: CR NUL is data", Bytes({13, 0, 255, 251, 0, 13, 0}),
         {Bytes({13, 0, 13, 0}), ""}},
        {"binary refused, then agreed again", Bytes({255, 252, 0, 13, 0, 255, 251, 0, 13, 0}),
         {Bytes({13, 13, 0}), Bytes({255, 253, 0})}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DecodeChunks({c.received}), c.decoded) << c.name;
        std::vector<std::string> bytes;
        for (const char byte : c.received) bytes.emplace_back(1, byte);
        EXPECT_EQ(DecodeChunks(bytes), c.decoded) << c.name << ", one byte a read";
        for (std::size_t cut = 1; cut < c.received.size(); ++cut) {
            EXPECT_EQ(DecodeChunks({c.received.substr(0, cut), c.received.substr(cut)}), c.decoded)
                << c.name << ", cut at " << cut;
        }
    }
}

// After a purge, data counts again only from the server's acknowledgement
// of PURGE-DATA; other notifications and acknowledgements do not end it.
TEST(Rfc2217, DataBeforeThePurgeAcknowledgementIsDropped) {
    struct Case {
        const char* name;
        std::string received;
        std::string data;
    };
    const Case cases[] = {
        {"stale reply, acknowledgement, fresh data", "stale" + ComPort({112, 3}) + "fresh", "fresh"},
        {"no acknowledgement", "stale" + ComPort({107, 0x30}) + ComPort({101, 0, 0, 0x25, 0x80}) + "more", ""},
        {"acknowledgement of another purge", std::string("a") + ComPort({112, 1}) + "b", "b"},
        {"a doubled 255 before the acknowledgement", Bytes({255, 255}) + ComPort({112, 3}) + Bytes({255, 255}),
         Bytes({255})},
        {"options negotiated while dropping", Bytes({255, 251, 99}) + "x" + ComPort({112, 3}) + "y", "y"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DecodeChunks({c.received}, true).data, c.data) << c.name;
        for (std::size_t cut = 1; cut < c.received.size(); ++cut)
            EXPECT_EQ(DecodeChunks({c.received.substr(0, cut), c.received.substr(cut)}, true).data, c.data)
                << c.name << ", cut at " << cut;
    }
}
