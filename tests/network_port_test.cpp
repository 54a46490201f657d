// The port behind a network address, over a scripted connection: the order
// of commands and data for the server, a connection that takes only part of
// a block, what the server sends, and a connection that drops.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/NetworkPort.h"

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

    std::unique_ptr<NetworkPort> Open(NetworkAddress::Protocol protocol) {
        auto scripted = std::make_unique<ScriptedConnection>();
        connection = scripted.get();
        return std::make_unique<NetworkPort>(std::move(scripted), protocol);
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
};

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
