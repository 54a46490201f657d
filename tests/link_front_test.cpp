// The link front: setting texts to line settings, frames on the line, and
// received chunks to the display text and the poll cycle.
#include <gtest/gtest.h>

#include "serial/Sarja1_u.h"
#include "tests/support/FakeSerialPorts.h"

namespace {

struct RecordingReceiver final : ChunkReceiver {
    void SarjaTulo(const std::string& chunk) override { chunks.push_back(chunk); }
    std::vector<std::string> chunks;
};

struct LinkFixture : ::testing::Test {
    VirtualTime time;
    EventLoop loop{time};
    FakeSerialPorts line{time};
    TSarja1 sarja1{loop, line};
    RecordingReceiver receiver;

    LinkFixture() { sarja1.ConnectReceiver(receiver); }

    void Apply(const char* port, const char* speed, const char* data, const char* parity, const char* stop) {
        sarja1.PorttiNo = port;
        sarja1.Nopeus = speed;
        sarja1.Data = data;
        sarja1.Pariteetti = parity;
        sarja1.StopBitti = stop;
        sarja1.AsetaComm();
    }
};

}  // namespace

TEST_F(LinkFixture, SettingTextsMatchExactly) {
    struct Case {
        const char *port, *speed, *data, *parity, *stop;
        int portNumber;
        std::uint32_t baud;
        int byteSize, parityCode, stopCode;
    };
    const Case cases[] = {
        {"COM1", "9600", "8", "None", "1", 1, 9600, 8, 0, 0},
        {"COM4", "600", "7", "Even", "2", 4, 600, 7, 2, 2},
        {"COM3", "19200", "7", "Odd", "1", 3, 19200, 7, 1, 0},
        {"COM1", "300", "8", "Mark", "1", 1, 300, 8, 3, 0},
        {"COM1", "1200", "8", "Space", "1", 1, 1200, 8, 4, 0},
        // Texts that match nothing leave the defaults: COM2, 9600, 8, None, 1.
        {"COM5", "14400", "9", "even", "1.5", 2, 9600, 8, 0, 0},
        {"com1", "38400", "", "NONE", " 1", 2, 9600, 8, 0, 0},
        {"1", "115200", "8 ", "Odd ", "3", 2, 9600, 8, 0, 0},
        {"COM1 ", "9600 ", "7", "None", "2", 2, 9600, 7, 0, 2},
    };
    for (const Case& c : cases) {
        FakeSerialPorts fresh{time};
        TSarja1 form{loop, fresh};
        form.PorttiNo = c.port;
        form.Nopeus = c.speed;
        form.Data = c.data;
        form.Pariteetti = c.parity;
        form.StopBitti = c.stop;
        form.AsetaComm();
        ASSERT_TRUE(form.SerialDriver.IsPortOpen()) << c.port;
        EXPECT_EQ(fresh.calls.front(), "open " + std::to_string(c.portNumber)) << c.port;
        EXPECT_EQ(fresh.state.baudRate, c.baud) << c.speed;
        EXPECT_EQ(fresh.state.byteSize, c.byteSize) << c.data;
        EXPECT_EQ(fresh.state.parity, c.parityCode) << c.parity;
        EXPECT_EQ(fresh.state.stopBits, c.stopCode) << c.stop;
    }
}

TEST_F(LinkFixture, AsetaCommReopensWithNewSettingsAndNoFlowControl) {
    Apply("COM1", "9600", "8", "None", "1");
    sarja1.SerialDriver.SetComPortHwHandshaking(hhRTSCTS);
    sarja1.SerialDriver.SetComPortSwHandshaking(shXONXOFF);
    line.calls.clear();
    Apply("COM3", "4800", "7", "Odd", "2");
    EXPECT_EQ(line.calls.front(), "close");
    EXPECT_EQ(line.calls[1], "open 3");
    EXPECT_EQ(line.state.baudRate, 4800u);
    EXPECT_FALSE(line.state.rtsCtsHandshake);
    EXPECT_FALSE(line.state.xonXoff);
    // A text that matches nothing keeps what the earlier texts set.
    Apply("COM9", "9600 ", "7", "Odd", "2");
    EXPECT_EQ(line.calls.back(), "timeouts 1 0 1 0 0");
    EXPECT_EQ(line.state.baudRate, 4800u);
    EXPECT_EQ(sarja1.SerialDriver.ComPort(), pnCOM3);
}

TEST_F(LinkFixture, FramesGoOutInFillBytesWithDtrLoweredAroundTheWrite) {
    Apply("COM1", "9600", "8", "None", "1");
    line.calls.clear();
    const std::string request("\x02" "10?M\x0D\x04", 7);
    sarja1.Lahetys(request);
    EXPECT_EQ(line.written, "\xFF\xFF\xFF" + request + "\xFF\xFF\xFF");
    EXPECT_EQ(line.calls, (std::vector<std::string>{"dtr 0", "write 13", "drain 4000", "dtr 1"}));
    line.written.clear();
    sarja1.Lahetys("");
    EXPECT_EQ(line.written, std::string(6, '\xFF'));
    EXPECT_TRUE(line.dtr);
}

// DTR goes up once the frame has left the port, but never later than the
// send's own time limit allows, whatever the line does.
TEST_F(LinkFixture, DtrWaitsForTheFrameToLeaveWithinTheSendTimeLimit) {
    struct Case {
        const char* line;
        std::int64_t drainMs;
        std::size_t takesPerWrite;
        std::int64_t dtrUpAtMs;
        const char* drainCall;
    };
    const Case cases[] = {
        {"drains in 16 ms", 16, SIZE_MAX, 16, "drain 4000"},
        {"never drains", INT64_MAX, SIZE_MAX, 4000, "drain 4000"},
        {"stalled, takes nothing", INT64_MAX, 0, 4001, "drain 0"},
    };
    Apply("COM1", "9600", "8", "None", "1");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        line.drainMs = c.drainMs;
        line.takesPerWrite = c.takesPerWrite;
        line.calls.clear();
        const std::int64_t start = time.NowMs();
        sarja1.Lahetys("frame");
        // The fake's clock moves only while the driver waits, so DTR went up now.
        EXPECT_EQ(line.calls.back(), "dtr 1");
        EXPECT_EQ(time.NowMs() - start, c.dtrUpAtMs);
        EXPECT_EQ(line.calls.end()[-2], c.drainCall);
    }
}

// DTR goes up no sooner than the frame's line time after its write, nor
// before the port's own wait has ended, whatever that wait does: within the
// allowance for a USB transfer (4 ms, and 1 ms of rounding) after the later
// of the two, and never past the send's time limit.
TEST_F(LinkFixture, DtrRisesAfterTheFramesLineTimeOnEveryFraming) {
    struct Framing {
        const char *data, *parity, *stop;
        int bitsPerByte;
    };
    const Framing framings[] = {
        {"8", "None", "1", 10}, {"8", "Even", "1", 11}, {"8", "None", "2", 11}, {"8", "Odd", "2", 12},
        {"7", "None", "1", 9},  {"7", "Even", "1", 10}, {"7", "None", "2", 10}, {"7", "Mark", "2", 11},
    };
    constexpr std::int64_t kNever = INT64_MAX;
    for (const char* speed : {"300", "600", "1200", "2400", "4800", "9600", "19200"})
        for (const Framing& f : framings) {
            const std::int64_t lineUs = 13 * f.bitsPerByte * std::int64_t{1'000'000} / std::stoi(speed);
            // The port's own wait ends at once, 30 ms after the line time, or never.
            for (const std::int64_t drainMs : {std::int64_t{0}, lineUs / 1000 + 30, kNever})
                for (const std::uint16_t limitMs : {std::uint16_t{4000}, std::uint16_t{100}}) {
                    SCOPED_TRACE(std::string(speed) + " " + f.data + f.parity + f.stop + ", drain " +
                                 std::to_string(drainMs) + ", limit " + std::to_string(limitMs));
                    Apply("COM1", speed, f.data, f.parity, f.stop);  // the last frame's tail is discarded
                    line.drainMs = drainMs;
                    sarja1.SerialDriver.OutputTimeout = limitMs;
                    const std::int64_t start = time.NowMs();
                    sarja1.Lahetys("\x02" "10?M\x0D\x04");
                    ASSERT_EQ(line.calls.back(), "dtr 1");
                    const std::int64_t dtrUpUs = (time.NowMs() - start) * 1000;  // the fake's clock moves only in waits
                    const std::int64_t dueUs = std::max(lineUs, drainMs == kNever ? kNever : drainMs * 1000);
                    const std::int64_t limitUs = limitMs * std::int64_t{1000};
                    if (dueUs <= limitUs - 5000) {
                        EXPECT_GE(dtrUpUs, dueUs);
                        EXPECT_LE(dtrUpUs, dueUs + 5000);
                    } else {
                        EXPECT_GE(dtrUpUs, std::min(dueUs, limitUs));
                    }
                    EXPECT_LE(dtrUpUs, limitUs);
                }
        }
}

// The line time is counted at the settings the port has in force, read back
// from it; with a handshake on, DTR also waits a FIFO's worth of characters
// after the port's own wait, which a paused transmitter can end with bytes
// still to go. Within the 4 ms allowance and 1 ms of rounding.
TEST_F(LinkFixture, DtrCountsTheLineAsItIsInForce) {
    struct Case {
        const char* line;
        std::optional<CommState> forced;
        TPortHwHandshaking handshake;
        std::int64_t drainMs;
        std::int64_t dueUs;
    };
    const Case cases[] = {
        // 13 bytes of 10 bits at 1200 baud.
        {"9600 refused, 1200 8N1 kept", CommState{.baudRate = 1200}, hhNONE, 0, 108'333},
        // 16 characters of 11 bits (7E2) at 9600 baud after the 50 ms wait.
        {"RTS/CTS, the port's wait ends at 50 ms", std::nullopt, hhRTSCTS, 50, 50'000 + 18'333},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        line.forced = c.forced;
        Apply("COM1", "9600", "7", "Even", "2");
        sarja1.SerialDriver.SetComPortHwHandshaking(c.handshake);
        line.drainMs = c.drainMs;
        const std::int64_t start = time.NowMs();
        sarja1.Lahetys("\x02" "10?M\x0D\x04");
        const std::int64_t dtrUpUs = (time.NowMs() - start) * 1000;
        EXPECT_GE(dtrUpUs, c.dueUs);
        EXPECT_LE(dtrUpUs, c.dueUs + 5000);
    }
}

// A block written just before a frame (the console's test send) is still on
// the wire when the frame follows, so the frame's DTR waits for both.
TEST_F(LinkFixture, DtrWaitsForTheBlockBeforeTheFrameToo) {
    Apply("COM1", "300", "8", "None", "1");
    const std::int64_t start = time.NowMs();
    sarja1.SerialDriver.SendBlock("0123456789", 10);  // 333.3 ms on the line
    sarja1.Lahetys("\x02" "10?M\x0D\x04");             // 13 bytes: 433.3 ms more
    EXPECT_GE(time.NowMs() - start, 767);
    EXPECT_LE(time.NowMs() - start, 772);
}

TEST_F(LinkFixture, ClosedPortSendsNothing) {
    line.missing = {1};
    Apply("COM1", "9600", "8", "None", "1");
    line.calls.clear();
    sarja1.Lahetys("frame");
    EXPECT_TRUE(line.calls.empty());
    EXPECT_TRUE(line.written.empty());
}

TEST_F(LinkFixture, ReceivedChunksReachDisplayTextAndPollCycleUnchanged) {
    const std::string first("\x02" "A \x0D", 4);
    const std::string second("\x00\x7F\xFF~!", 5);
    sarja1.SerialDriverReceiveData(&sarja1.SerialDriver, first.data(), 4);
    sarja1.SerialDriverReceiveData(&sarja1.SerialDriver, second.data(), 5);
    EXPECT_EQ(sarja1.Tulo, "Tulo<2>A<32><13><0><127><255>~!");
    EXPECT_EQ(receiver.chunks, (std::vector<std::string>{first, second}));
}

TEST_F(LinkFixture, DisplayTextKeepsItsLatestPart) {
    const std::string chunk(4096, '\x01');  // "<1>" each
    for (int i = 0; i < 10; ++i) sarja1.SerialDriverReceiveData(&sarja1.SerialDriver, chunk.data(), 4096);
    EXPECT_EQ(sarja1.Tulo.size(), TSarja1::kTuloLimit);
    EXPECT_EQ(sarja1.Tulo.substr(sarja1.Tulo.size() - 3), "<1>");
}
