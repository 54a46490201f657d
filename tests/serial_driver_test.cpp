// The serial port driver against a recording fake port, in virtual time.
#include <gtest/gtest.h>

#include "serial/SerialDrv.h"
#include "tests/support/FakeSerialPorts.h"

namespace {

struct DriverFixture : ::testing::Test {
    VirtualTime time;
    EventLoop loop{time};
    FakeSerialPorts line{time};
    TSerialDriver driver{loop, line};
    std::vector<std::pair<std::int64_t, std::string>> events;

    DriverFixture() {
        driver.OnReceiveData = [this](TSerialDriver* sender, const void* data, std::int32_t size) {
            EXPECT_EQ(sender, &driver);
            events.emplace_back(time.NowMs(), std::string(static_cast<const char*>(data), size));
        };
    }
    // Runs the event loop until the given virtual time.
    void RunUntil(std::int64_t ms) {
        IntervalTimer stop(loop, ms - time.NowMs(), [this] { loop.Quit(); });
        stop.Enable();
        loop.Run();
    }
    std::vector<std::string> CallsSinceOpen() { return line.calls; }
};

}  // namespace

TEST_F(DriverFixture, DefaultsOpenCom2At9600EightNoneOneDtrOnRtsOff) {
    ASSERT_TRUE(driver.OpenPort());
    EXPECT_TRUE(driver.IsPortOpen());
    EXPECT_EQ(line.calls, (std::vector<std::string>{"open 2", "state", "purge in out", "queues 2048 2048",
                                                    "timeouts 1 0 1 0 0"}));
    EXPECT_EQ(line.state.baudRate, 9600u);
    EXPECT_EQ(line.state.byteSize, 8);
    EXPECT_EQ(line.state.parity, 0);
    EXPECT_EQ(line.state.stopBits, 0);
    EXPECT_TRUE(line.state.dtrEnable);
    EXPECT_FALSE(line.state.rtsCtsHandshake);
    EXPECT_FALSE(line.state.xonXoff);
    EXPECT_EQ(line.state.xonLimit, 512);
    EXPECT_EQ(line.state.xoffLimit, 1);
}

TEST_F(DriverFixture, SettingsReachTheLineAsCommState) {
    driver.SetComPortSpeed(br19200);
    driver.SetComPortDataBits(db7BITS);
    driver.SetComPortParity(ptEVEN);
    driver.SetComPortStopBits(sb2BITS);
    driver.SetComPortHwHandshaking(hhRTSCTS);
    driver.SetComPortSwHandshaking(shXONXOFF);
    driver.EnableDTROnOpen = false;
    EXPECT_TRUE(line.calls.empty());  // stored only while closed
    ASSERT_TRUE(driver.OpenPort());
    EXPECT_EQ(line.state.baudRate, 19200u);
    EXPECT_EQ(line.state.byteSize, 7);
    EXPECT_EQ(line.state.parity, 2);
    EXPECT_EQ(line.state.stopBits, 2);
    EXPECT_FALSE(line.state.dtrEnable);
    EXPECT_TRUE(line.state.rtsCtsHandshake);
    EXPECT_TRUE(line.state.xonXoff);
}

TEST_F(DriverFixture, OpenOnOpenPortChangesNothingAndKeepsTimerPhase) {
    ASSERT_TRUE(driver.OpenPort());
    line.Arrive(0, "a");
    RunUntil(30);
    const auto callsBefore = line.calls;
    EXPECT_TRUE(driver.OpenPort());
    EXPECT_EQ(line.calls, callsBefore);
    RunUntil(60);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].first, 50);
}

TEST_F(DriverFixture, LineSettingChangeWhileOpenReappliesAndPurges) {
    ASSERT_TRUE(driver.OpenPort());
    line.Arrive(0, "stale");
    line.calls.clear();
    driver.SetComPortParity(ptODD);
    EXPECT_EQ(line.calls, (std::vector<std::string>{"state", "purge in out", "queues 2048 2048"}));
    EXPECT_EQ(line.state.parity, 1);
    RunUntil(100);
    EXPECT_TRUE(events.empty());  // the waiting bytes were discarded
}

TEST_F(DriverFixture, PortAndInputSizeChangesAreIgnoredWhileOpen) {
    ASSERT_TRUE(driver.OpenPort());
    driver.SetComPort(pnCOM4);
    driver.SetComPortInBufSize(4);
    EXPECT_EQ(driver.ComPort(), pnCOM2);
    EXPECT_EQ(driver.ComPortInBufSize(), 2048);
    driver.ClosePort();
    driver.SetComPort(pnCOM4);
    driver.SetComPortInBufSize(4);
    line.calls.clear();
    ASSERT_TRUE(driver.OpenPort());
    EXPECT_EQ(line.calls.front(), "open 4");
    EXPECT_EQ(line.state.xonLimit, 1);
    line.Arrive(0, "0123456789");
    RunUntil(160);
    ASSERT_EQ(events.size(), 3u);  // at most four bytes per tick
    EXPECT_EQ(events[0], std::make_pair(std::int64_t{50}, std::string("0123")));
    EXPECT_EQ(events[2], std::make_pair(std::int64_t{150}, std::string("89")));
}

TEST_F(DriverFixture, PollingDelayRestartsTimerOnlyOnChange) {
    ASSERT_TRUE(driver.OpenPort());
    line.Arrive(0, "x");
    RunUntil(30);
    driver.SetComPortPollingDelay(50);  // same value: the phase stays
    RunUntil(55);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].first, 50);
    driver.SetComPortPollingDelay(20);
    line.Arrive(55, "y");
    RunUntil(80);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].first, 75);
}

TEST_F(DriverFixture, TicksDeliverOnlyWhatArrivedAndNothingWithoutHandler) {
    ASSERT_TRUE(driver.OpenPort());
    line.Arrive(120, std::string("\0\xFF", 2));
    RunUntil(200);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], std::make_pair(std::int64_t{150}, std::string("\0\xFF", 2)));
    driver.OnReceiveData = nullptr;
    line.Arrive(200, "lost");
    RunUntil(260);
    EXPECT_TRUE(line.Readable().empty());
}

// Bytes are read at the first tick of the read timer's grid at or after their
// arrival, as with a read at every tick, but an idle tick makes no read.
TEST_F(DriverFixture, IdleTicksReadNothingAndArrivalsAreReadOnTheGrid) {
    ASSERT_TRUE(driver.OpenPort());
    RunUntil(20000);
    EXPECT_EQ(line.reads, 0);
    // Arrival and read, in ms after a tick of the grid (which runs from 0 in 50s).
    const std::pair<std::int64_t, std::int64_t> arrivalToRead[] = {{0, 0}, {1, 50}, {49, 50}, {777, 800}};
    for (const auto& [arrival, readAt] : arrivalToRead) {
        SCOPED_TRACE(arrival);
        const std::int64_t tick = time.NowMs();
        events.clear();
        line.reads = 0;
        line.Arrive(tick + arrival, "r");
        RunUntil(tick + 1000);
        EXPECT_EQ(events, (std::vector<std::pair<std::int64_t, std::string>>{{tick + readAt, "r"}}));
        EXPECT_EQ(line.reads, 1);
    }
}

// A device that is gone is always "ready", like a hung-up descriptor: it
// costs one failed read per tick, never a loop without a wait.
TEST_F(DriverFixture, AVanishedDeviceIsReadOncePerTick) {
    ASSERT_TRUE(driver.OpenPort());
    line.gone = true;
    RunUntil(1000);
    EXPECT_EQ(line.reads, 20);
    EXPECT_TRUE(events.empty());
}

TEST_F(DriverFixture, MissingPortStaysClosedAndQuiet) {
    line.missing = {2};
    EXPECT_FALSE(driver.OpenPort());
    EXPECT_FALSE(driver.IsPortOpen());
    EXPECT_EQ(driver.SendBlock("abc", 3), 0);
    driver.SetDTR(false);
    EXPECT_EQ(driver.FreeOutputSpace(), 65535);
    EXPECT_EQ(line.calls, (std::vector<std::string>{"open 2"}));
    line.Arrive(0, "x");
    RunUntil(200);
    EXPECT_TRUE(events.empty());
}

TEST_F(DriverFixture, FreeOutputSpaceWrapsInSixteenBits) {
    ASSERT_TRUE(driver.OpenPort());
    line.queued = 48;
    EXPECT_EQ(driver.FreeOutputSpace(), 2000);
    line.queued = 2049;
    EXPECT_EQ(driver.FreeOutputSpace(), 65535);
}

TEST_F(DriverFixture, SendBlockResults) {
    ASSERT_TRUE(driver.OpenPort());
    EXPECT_EQ(driver.SendBlock("abc", 0), 0);
    EXPECT_EQ(driver.SendBlock("abc", -5), 0);
    EXPECT_EQ(driver.SendBlock("abc", 3), 3);
    EXPECT_EQ(line.written, "abc");
}

TEST_F(DriverFixture, StalledSendGivesUpAfterOutputTimeoutWithoutSpinning) {
    ASSERT_TRUE(driver.OpenPort());
    line.takesPerWrite = 2;
    line.onWrite = [this](const std::string&) { line.takesPerWrite = 0; };
    line.calls.clear();
    const std::int64_t start = time.NowMs();
    EXPECT_EQ(driver.SendBlock("abcdef", 6), -2);
    EXPECT_EQ(time.NowMs() - start, 4001);
    EXPECT_LE(line.calls.size(), 3u);  // one write, then waits, not a busy loop
}

TEST_F(DriverFixture, FullQueueIsWaitedOnUntilTimeout) {
    ASSERT_TRUE(driver.OpenPort());
    line.queued = 2048;
    driver.OutputTimeout = 100;
    EXPECT_EQ(driver.SendBlock("abc", 3), 0);
    EXPECT_EQ(time.NowMs(), 101);
    EXPECT_TRUE(line.written.empty());
}

TEST_F(DriverFixture, VanishedDeviceEndsSendAtOnce) {
    ASSERT_TRUE(driver.OpenPort());
    line.gone = true;
    EXPECT_EQ(driver.SendBlock("abc", 3), 0);
    EXPECT_EQ(time.NowMs(), 0);
    RunUntil(500);  // failing reads raise nothing
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(driver.IsPortOpen());
}

TEST_F(DriverFixture, CloseStopsTicksAndDestructionClosesPort) {
    {
        TSerialDriver other(loop, line);
        line.missing.clear();
        ASSERT_TRUE(driver.OpenPort());
        EXPECT_FALSE(other.OpenPort());  // held by the first driver
        driver.ClosePort();
        ASSERT_TRUE(other.OpenPort());
        EXPECT_EQ(line.openPorts, 1);
    }
    EXPECT_EQ(line.openPorts, 0);
    line.Arrive(0, "x");
    RunUntil(200);
    EXPECT_TRUE(events.empty());
}
