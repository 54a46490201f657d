// The port behind a network address, over a scripted connection: the order
// of commands and data for the server, a connection that takes only part of
// a block, what the server sends, a connection that drops, what a purge
// drops, the wait for a block's line time, and a server that stops reading.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/network/NetworkPort.h"

namespace {

class ScriptedConnection final : public TcpConnection {
public:
    std::optional<std::size_t> Send(const std::uint8_t* bytes, std::size_t count) override {
        if (gone) return std::nullopt;
        const std::size_t taken = std::min(count, room);
        sent.append(reinterpret_cast<const char*>(bytes), taken);
        room -= taken;
        return taken;
    }
    std::optional<std::size_t> Receive(std::uint8_t* into, std::size_t capacity) override {
        if (incoming.empty()) {
            if (closedByServer || gone) return std::nullopt;
            return 0;
        }
        const std::size_t count = std::min(capacity, incoming.size());
        std::copy_n(incoming.begin(), count, into);
        incoming.erase(0, count);
        return count;
    }
    bool WaitWritable(std::int64_t) override { return !gone; }
    Waitable* Input() override { return nullptr; }

    std::string sent;
    std::size_t room = SIZE_MAX;  // bytes the connection still takes
    std::string incoming;
    bool closedByServer = false;  // once `incoming` has been read
    bool gone = false;            // sends fail at once
};

struct NetworkPortFixture : ::testing::Test {
    ScriptedConnection* connection = nullptr;
    VirtualTime time;

    std::unique_ptr<NetworkPort> Open(NetworkAddress::Protocol protocol) {
        auto scripted = std::make_unique<ScriptedConnection>();
        connection = scripted.get();
        return std::make_unique<NetworkPort>(std::move(scripted), protocol, time);
    }

    static std::string ReadAll(SerialPort& port, bool& ok) {
        char buffer[64];
        std::size_t got = 0;
        ok = port.Read(buffer, sizeof buffer, got);
        return std::string(buffer, got);
    }

    static std::size_t Write(SerialPort& port, const std::string& bytes) {
        return port.Write(bytes.data(), bytes.size());
    }

    // What a read after `incoming` arrives delivers.
    std::string Arrive(SerialPort& port, const std::string& incoming) {
        connection->incoming = incoming;
        bool ok = false;
        std::string data = ReadAll(port, ok);
        EXPECT_TRUE(ok);
        return data;
    }
};

// IAC SB COM-PORT-OPTION PURGE-DATA-acknowledgement both-buffers IAC SE
const std::string kPurgeAcknowledged = "\xFF\xFA\x2C\x70\x03\xFF\xF0";

// A frame with its fill bytes, as the tool sends one.
const std::string kFrame = "\xFF\xFF\xFF\x02" "30?M\r\x02\xFF\xFF\xFF";

}  // namespace

TEST_F(NetworkPortFixture, Rfc2217CommandsAndDataGoOutInTheDriversOrder) {
    auto port = Open(NetworkAddress::Protocol::Rfc2217);
    CommState state;
    state.baudRate = 4800;
    port->SetState(state);
    port->Purge(true, true);
    port->SetDtr(false);
    EXPECT_EQ(Write(*port, kFrame), kFrame.size());
    EXPECT_TRUE(port->Drain(100));
    port->SetDtr(true);
    EXPECT_EQ(connection->sent, OpeningNegotiation() + LineSettingCommands(state) + PurgeCommand(true, true) +
                                    DtrCommand(false) + EncodeData(kFrame) + DtrCommand(true));
}

// The connection takes five bytes of the encoded frame, cutting a doubled
// 255: the frame counts as written, its tail goes before anything later, and
// nothing new is taken while it waits.
TEST_F(NetworkPortFixture, UnsentTailOfABlockGoesFirst) {
    auto port = Open(NetworkAddress::Protocol::Rfc2217);
    connection->room = 5;
    EXPECT_EQ(Write(*port, kFrame), kFrame.size());
    EXPECT_EQ(port->OutputQueued(), EncodeData(kFrame).size() - 5);
    EXPECT_EQ(Write(*port, "next"), 0u);
    EXPECT_FALSE(port->Drain(100));
    port->SetDtr(true);
    connection->room = SIZE_MAX;
    EXPECT_TRUE(port->WaitWritable(100));
    EXPECT_EQ(port->OutputQueued(), 0u);
    EXPECT_EQ(Write(*port, "next"), 4u);
    EXPECT_EQ(connection->sent, OpeningNegotiation() + EncodeData(kFrame) + DtrCommand(true) + "next");
}

TEST_F(NetworkPortFixture, Rfc2217ReadsKeepDataAndAnswerTheServer) {
    auto port = Open(NetworkAddress::Protocol::Rfc2217);
    const std::string notify = "\xFF\xFA\x2C\x6B\x30\xFF\xF0";
    connection->incoming = "\x02" "03" + notify + "\xFF\xFF" "!" "\xFF\xFD\x01";  // ... IAC DO ECHO
    bool ok = false;
    EXPECT_EQ(ReadAll(*port, ok), "\x02" "03\xFF!");
    EXPECT_TRUE(ok);
    EXPECT_EQ(connection->sent, OpeningNegotiation() + "\xFF\xFC\x01");  // IAC WONT ECHO
    connection->incoming = notify;
    EXPECT_EQ(ReadAll(*port, ok), "");
    EXPECT_TRUE(ok) << "commands alone are a read of nothing, not a failure";
}

TEST_F(NetworkPortFixture, SocketPassesBytesUnchangedAndHasNoLineSettings) {
    auto port = Open(NetworkAddress::Protocol::Raw);
    port->SetState(CommState{});
    port->Purge(true, true);
    port->SetDtr(false);
    EXPECT_EQ(Write(*port, kFrame), kFrame.size());
    port->SetDtr(true);
    EXPECT_EQ(connection->sent, kFrame);
    time.Advance(NetworkPort::kPurgeGuardMs);
    connection->incoming = "\xFF\xFF\xFA\x2C";
    bool ok = false;
    EXPECT_EQ(ReadAll(*port, ok), "\xFF\xFF\xFA\x2C");
    EXPECT_TRUE(ok);
}

TEST_F(NetworkPortFixture, ADroppedConnectionIsADeviceGone) {
    for (const auto protocol : {NetworkAddress::Protocol::Raw, NetworkAddress::Protocol::Rfc2217}) {
        auto port = Open(protocol);
        connection->incoming = "0302";
        connection->closedByServer = true;
        bool ok = false;
        EXPECT_EQ(ReadAll(*port, ok), "0302") << "what came before the close is delivered";
        EXPECT_TRUE(ok);
        ReadAll(*port, ok);
        EXPECT_FALSE(ok);
        EXPECT_EQ(Write(*port, kFrame), 0u);
        EXPECT_FALSE(port->WaitWritable(100));
    }
}

TEST_F(NetworkPortFixture, AFailedSendIsADeviceGone) {
    auto port = Open(NetworkAddress::Protocol::Rfc2217);
    connection->gone = true;
    EXPECT_EQ(Write(*port, kFrame), 0u);
    EXPECT_FALSE(port->WaitWritable(100));
    bool ok = true;
    ReadAll(*port, ok);
    EXPECT_FALSE(ok);
}

// A reply the server held from before the connection, and bytes it sent
// before the first frame went out, are never read as replies; an answer to
// the frame is, from the purge's acknowledgement over rfc2217:// and, over
// socket:// and when no acknowledgement comes, once the guard time after the
// frame is over or the next frame is written.
TEST_F(NetworkPortFixture, APurgeDropsWhatTheServerSentBeforeIt) {
    struct Case {
        const char* name;
        NetworkAddress::Protocol protocol;
        std::string afterFrame;     // arrives at once after the frame
        std::int64_t waitMs;        // then this long passes
        bool nextFrame;             // then another frame is written
        std::string expected;       // what reading "answer" then gives
    };
    using P = NetworkAddress::Protocol;
    const std::int64_t guard = NetworkPort::kPurgeGuardMs;
    const Case cases[] = {
        {"socket, within the guard", P::Raw, "in flight", 0, false, ""},
        {"socket, guard over", P::Raw, "in flight", guard, false, "answer"},
        {"socket, next frame", P::Raw, "in flight", 0, true, "answer"},
        {"rfc2217, acknowledged", P::Rfc2217, "in flight" + kPurgeAcknowledged, 0, false, "answer"},
        {"rfc2217, not acknowledged", P::Rfc2217, "in flight", guard - 1, false, ""},
        {"rfc2217, not acknowledged, guard over", P::Rfc2217, "in flight", guard, false, "answer"},
        {"rfc2217, next frame", P::Rfc2217, "in flight", 0, true, "answer"},
    };
    for (const Case& c : cases) {
        auto port = Open(c.protocol);
        connection->incoming = "held reply";
        port->Purge(true, true);
        EXPECT_EQ(connection->incoming, "") << c.name << ": what has arrived is taken off the connection";
        EXPECT_EQ(Arrive(*port, "before the frame"), "") << c.name;
        connection->incoming = "just before";
        Write(*port, kFrame);
        EXPECT_EQ(Arrive(*port, c.afterFrame), "") << c.name;
        time.Advance(c.waitMs);
        if (c.nextFrame) Write(*port, kFrame);
        EXPECT_EQ(Arrive(*port, "answer"), c.expected) << c.name;
    }
}

// A port that is only listened to, with no frame written after the purge,
// hears the line again once the guard time after the purge is over.
TEST_F(NetworkPortFixture, WithoutAFrameDroppingEndsAfterTheGuardTime) {
    for (const auto protocol : {NetworkAddress::Protocol::Raw, NetworkAddress::Protocol::Rfc2217}) {
        auto port = Open(protocol);
        port->Purge(true, true);
        time.Advance(NetworkPort::kPurgeGuardMs - 1);
        EXPECT_EQ(Arrive(*port, "held"), "");
        time.Advance(1);
        EXPECT_EQ(Arrive(*port, "line"), "line");
    }
}

// The DTR command after a block goes no earlier than the block's line time
// after the connection took it: start bit, data, parity and stop bits per
// byte. Over socket:// the server's speed is not known and nothing waits.
TEST_F(NetworkPortFixture, DrainWaitsForTheBlocksLineTime) {
    struct Case {
        NetworkAddress::Protocol protocol;
        std::uint32_t baud;
        std::uint8_t byteSize, parity, stopBits;
        std::int64_t timeoutMs;
        bool drained;
        std::int64_t waitedMs;
    };
    using P = NetworkAddress::Protocol;
    const Case cases[] = {
        {P::Rfc2217, 9600, 8, 0, 0, 4000, true, 14},    // 13 x 10 bits: 13.5 ms
        {P::Rfc2217, 300, 8, 0, 0, 4000, true, 434},    // 433.3 ms
        {P::Rfc2217, 300, 7, 2, 2, 4000, true, 477},    // 13 x 11 bits: 476.7 ms
        {P::Rfc2217, 19200, 8, 0, 1, 4000, true, 8},    // 13 x 10.5 bits: 7.1 ms
        {P::Rfc2217, 300, 8, 0, 0, 100, false, 100},    // the caller's bound holds
        {P::Raw, 300, 8, 0, 0, 4000, true, 0},
    };
    for (const Case& c : cases) {
        auto port = Open(c.protocol);
        CommState state;
        state.baudRate = c.baud;
        state.byteSize = c.byteSize;
        state.parity = c.parity;
        state.stopBits = c.stopBits;
        port->SetState(state);
        Write(*port, kFrame);
        const std::int64_t start = time.NowMs();
        EXPECT_EQ(port->Drain(c.timeoutMs), c.drained) << c.baud;
        EXPECT_EQ(time.NowMs() - start, c.waitedMs) << c.baud;
    }
}

// A tail the connection takes late moves the wait with it.
TEST_F(NetworkPortFixture, LineTimeCountsFromTheBlocksLastByteTaken) {
    auto port = Open(NetworkAddress::Protocol::Rfc2217);
    connection->room = 5;
    Write(*port, kFrame);
    time.Advance(50);
    connection->room = SIZE_MAX;
    const std::int64_t start = time.NowMs();
    EXPECT_TRUE(port->Drain(4000));
    EXPECT_EQ(time.NowMs() - start, 14);
}

// A server flooding option requests without reading gets one refusal; one
// whose answers keep piling up (an option switched on and off, over and
// over) is a device that stopped reading once they pass the bound.
TEST_F(NetworkPortFixture, AnswersForAServerThatDoesNotReadAreBounded) {
    auto port = Open(NetworkAddress::Protocol::Rfc2217);
    connection->room = 0;
    std::string requests;
    for (int i = 0; i < 20000; ++i) requests += "\xFF\xFB\x63";  // IAC WILL 99
    connection->incoming = requests;
    bool ok = true;
    while (ok && !connection->incoming.empty()) ReadAll(*port, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(port->OutputQueued(), 3u) << "IAC DONT 99, once";

    std::string toggles;
    for (int i = 0; i < 20000; ++i) toggles += std::string("\xFF\xFB\x00\xFF\xFC\x00", 6);  // IAC WILL BINARY, IAC WONT BINARY
    connection->incoming = toggles;
    std::uint32_t mostQueued = 0;
    while (ok && !connection->incoming.empty()) {
        ReadAll(*port, ok);
        mostQueued = std::max(mostQueued, port->OutputQueued());
    }
    EXPECT_LE(mostQueued, NetworkPort::kUnsentLimit);
    ReadAll(*port, ok);
    EXPECT_FALSE(ok) << "the device is gone";
    EXPECT_EQ(Write(*port, kFrame), 0u);
}

// Outside binary mode a CR goes as CR NUL and a CR NUL from the server reads
// as a CR: a reply ending in CR and its checksum is whole again.
TEST_F(NetworkPortFixture, AServerRefusingBinaryModeGetsAndSendsCrNul) {
    auto port = Open(NetworkAddress::Protocol::Rfc2217);
    EXPECT_EQ(Arrive(*port, std::string("\xFF\xFC\x00\xFF\xFE\x00", 6)), "");  // WONT, DONT BINARY
    const std::size_t before = connection->sent.size();
    EXPECT_EQ(Write(*port, kFrame), kFrame.size());
    EXPECT_EQ(connection->sent.substr(before), EncodeData(kFrame, false));
    EXPECT_EQ(Arrive(*port, std::string("\x02" "03\r\x00\x21", 6)), "\x02" "03\r\x21");
}
