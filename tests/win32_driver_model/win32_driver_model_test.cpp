// The Windows port on a model of Windows' own serial driver, in virtual time:
// whole runs and single calls against each of the driver's variants. For
// every frame DTR must go up after its last stop bit has left the wire and
// within 10 ms of it, every byte a station sends must reach the poll cycle,
// the run must end on time, and no call may wait for ever.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "poll/Frames.h"
#include "poll/Unit1.h"
#include "platform/win32/Win32SerialPort.h"
#include "serial/Sarja1_u.h"
#include "tests/support/ReplyBuilder.h"
#include "tests/support/ScriptedLine.h"
#include "tests/win32_driver_model/SerialDriverModel.h"

namespace {

using Variant = SerialDriverModel::Variant;

const struct {
    Variant variant;
    const char* name;
} kVariants[] = {
    {Variant::Ordinary, "time-outs taken when a read starts"},
    {Variant::TimeoutsTakenWhenSet, "time-outs taken when set"},
    {Variant::FlushNeverReturns, "a flush that never returns"},
};

constexpr std::int64_t kDtrLateUs = 10'000;

class ModelPorts final : public SerialPorts {
public:
    explicit ModelPorts(SerialDriverModel& model) : model_(model) {}
    std::unique_ptr<SerialPort> Open(int) override { return MakeWin32SerialPort(model_.Handle(), model_); }

private:
    SerialDriverModel& model_;
};

// Passes the received chunks on to the poll cycle and keeps their bytes.
struct Tap final : ChunkReceiver {
    void SarjaTulo(const std::string& chunk) override {
        bytes += chunk;
        next->SarjaTulo(chunk);
    }
    ChunkReceiver* next = nullptr;
    std::string bytes;
};

std::string Station3Reply() { return ReplyBuilder().Address(3).Sequence(2).AllReadings("0001250").Build(); }

// The tool asking station 3 on COM1 at 9600 8N1, the model as the port.
struct ModelRun {
    explicit ModelRun(Variant variant) : model(time, variant) {
        tap.next = &form;
        sarja.ConnectReceiver(tap);
    }

    void Open(std::uint16_t inputQueueSize = 2048) {
        sarja.SerialDriver.SetComPortInBufSize(inputQueueSize);
        sarja.TakeSettings({"COM1", "9600", "8", "None", "1"});
        sarja.AsetaComm();
    }
    // Station 3 answers every read request delayMs after DTR goes up, in
    // pieces of the given sizes gapMs apart (the last piece takes the rest).
    void Station3Answers(std::int64_t delayMs, std::vector<std::size_t> pieces = {}, std::int64_t gapMs = 0) {
        model.onFrame = [this, delayMs, pieces, gapMs](const std::string& frame) {
            if (frame.find(ReadRequest(3)) == std::string::npos) return;
            const std::string reply = Station3Reply();
            std::int64_t at = model.NowUs() + delayMs * 1000;
            std::size_t from = 0;
            for (const std::size_t size : pieces) {
                at = model.Arrive(at, reply.substr(from, size)) + gapMs * 1000;
                from += size;
            }
            model.Arrive(at, reply.substr(from));
            sent += reply;
        };
    }
    void Run() {
        form.SelectStation(3);
        form.PunnitusClick();
        loop.Run();
    }

    VirtualTime time;
    EventLoop loop{time};
    SerialDriverModel model;
    ModelPorts ports{model};
    CapturedOutput output{loop};
    TSarja1 sarja{loop, ports};
    TForm1 form{loop, sarja, output};
    Tap tap;
    std::string sent;  // every byte station 3 sent
};

// No call waited for ever, no byte was dropped on the way, and DTR went up
// after each frame's last stop bit and soon after it.
void ExpectSoundLine(ModelRun& run, std::int64_t dtrLateUs = kDtrLateUs) {
    EXPECT_EQ(run.model.Hangs(), std::vector<std::string>{});
    EXPECT_EQ(run.model.Overruns(), 0);
    EXPECT_EQ(DisplayText(run.tap.bytes), DisplayText(run.sent));
    run.model.RunLineOn(1'000'000);
    for (const auto& frame : run.model.Frames()) {
        SCOPED_TRACE("frame with DTR down at " + std::to_string(frame.dtrDownUs) + " us");
        const auto lastStopBit = run.model.WireEndUs(frame.lastByte);
        ASSERT_TRUE(lastStopBit.has_value()) << "the frame never left the wire";
        EXPECT_GE(frame.dtrUpUs, *lastStopBit);
        EXPECT_LE(frame.dtrUpUs, *lastStopBit + dtrLateUs);
    }
}

}  // namespace

TEST(Win32DriverModel, OpensWhateverInputQueueSizeIsAsked) {
    for (const auto& v : kVariants) {
        for (const std::uint16_t size : {std::uint16_t{2048}, std::uint16_t{4096}, std::uint16_t{8192}}) {
            SCOPED_TRACE(std::string(v.name) + ", input queue " + std::to_string(size));
            ModelRun run(v.variant);
            run.Open(size);
            EXPECT_EQ(run.model.Hangs(), std::vector<std::string>{});
            EXPECT_LT(run.time.NowMs(), 50);
        }
    }
}

TEST(Win32DriverModel, WholeRuns) {
    struct Case {
        const char* name;
        std::function<void(ModelRun&)> line;
        const char* result;
        std::int64_t endsByMs;
    };
    const Case cases[] = {
        {"a silent line", [](ModelRun&) {}, "0;3,1,0", 20'100},
        {"a reply in one piece", [](ModelRun& run) { run.Station3Answers(20); }, "0;3,0,1250", 5'300},
        {"a reply in pieces", [](ModelRun& run) { run.Station3Answers(20, {1, 9, 20}, 30); }, "0;3,0,1250",
         5'400},
        {"a failing follow-up read",
         [](ModelRun& run) {
             run.Station3Answers(20);
             run.model.failClearCommErrorAfterByte = true;
         },
         "0;3,0,1250", 5'300},
        // The previous program's 1200 baud stays in force.
        {"a refused speed",
         [](ModelRun& run) {
             run.model.SetStateInForce(1200);
             run.model.refuses = [](const DCB& asked) { return asked.BaudRate != 1200; };
             run.Station3Answers(20);
         },
         "0;3,0,1250", 6'000},
    };
    for (const auto& v : kVariants) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(v.name) + ": " + c.name);
            ModelRun run(v.variant);
            c.line(run);
            run.Open();
            run.Run();
            EXPECT_EQ(run.output.Text(), c.result);
            EXPECT_GE(run.output.writtenAtMs, 5'000);
            EXPECT_LE(run.output.writtenAtMs, c.endsByMs);
            ExpectSoundLine(run);
            // Waiting for a byte costs one read per byte that comes, not one
            // per tick of the read timer (400 in a silent run).
            EXPECT_LE(run.model.ReadCalls(), 2 * static_cast<int>(run.sent.size()) + 10);
        }
    }
}

TEST(Win32DriverModel, APurgeDiscardsTheByteTheWaitHasTaken) {
    for (const auto& v : kVariants) {
        SCOPED_TRACE(v.name);
        ModelRun run(v.variant);
        run.Open();
        run.model.Arrive(run.model.NowUs(), "x");
        run.time.Advance(10);
        run.sarja.SerialDriver.PurgeBuffers(true, false);
        run.Station3Answers(20);
        run.Run();
        EXPECT_EQ(run.output.Text(), "0;3,0,1250");
        ExpectSoundLine(run);
    }
}

// CTS low: the transmitter takes nothing. The send gives up at its time
// limit (4 s), and so does the wait for the frame to leave.
TEST(Win32DriverModel, AStalledTransmitterHoldsNoCallBeyondTheSendsLimit) {
    for (const auto& v : kVariants) {
        SCOPED_TRACE(v.name);
        ModelRun run(v.variant);
        run.Open();
        run.sarja.SerialDriver.SetComPortHwHandshaking(hhRTSCTS);
        run.model.SetCts(run.model.NowUs(), false);
        const std::int64_t startMs = run.time.NowMs();
        run.sarja.Lahetys(ReadRequest(3));
        run.sarja.Lahetys(ReadRequest(3));
        EXPECT_LE(run.time.NowMs() - startMs, 2 * (run.sarja.SerialDriver.OutputTimeout + 20));
        EXPECT_EQ(run.model.Hangs(), std::vector<std::string>{});
    }
}

// CTS drops for 40 ms while the first 14 bytes of the frame are going out.
// The driver loads the rest only when it rises again; DTR waits for them.
TEST(Win32DriverModel, CtsPausingTheTransmitterMidFrameKeepsDtrDownUntilTheFrameHasLeft) {
    for (const auto& v : kVariants) {
        SCOPED_TRACE(v.name);
        ModelRun run(v.variant);
        run.Open();
        run.sarja.SerialDriver.SetComPortHwHandshaking(hhRTSCTS);
        const std::int64_t startUs = run.model.NowUs();
        run.model.SetCts(startUs + 3'000, false);
        run.model.SetCts(startUs + 43'000, true);
        const std::string frame = TriggerFrame(2);
        ASSERT_GT(frame.size() + 6, 14u);  // fill bytes around it: more than one load of the FIFO
        run.sarja.Lahetys(frame);
        // With a handshake on the frame's end is known only to within a FIFO's
        // worth of characters (16 at 9600 8N1: 16.7 ms) after the write ends.
        ExpectSoundLine(run, kDtrLateUs + 16'700);
        ASSERT_EQ(run.model.Frames().size(), 1u);
    }
}

// A larger input queue waits in the driver behind the wait for a byte: the
// port sets the wait aside for it, and the byte it had taken is read at the
// next tick.
TEST(Win32DriverModel, AQueueSizeChangeKeepsTheByteTheWaitHasTaken) {
    for (const auto& v : kVariants) {
        SCOPED_TRACE(v.name);
        VirtualTime time;
        SerialDriverModel model(time, v.variant);
        ModelPorts ports(model);
        const auto port = ports.Open(1);
        model.Arrive(0, "A");
        time.Advance(5);
        port->SetQueueSizes(8192, 2048);
        EXPECT_EQ(model.Hangs(), std::vector<std::string>{});
        EXPECT_EQ(port->Input()->ReadyAtMs(), time.NowMs());
        char got[4] = {};
        std::size_t count = 0;
        EXPECT_TRUE(port->Read(got, sizeof got, count));
        EXPECT_EQ(std::string(got, count), "A");
        EXPECT_EQ(port->Input()->ReadyAtMs(), std::nullopt);  // a new wait, and nothing more coming
    }
}

// A purge that aborts a write under way ends it "cancelled": output thrown
// away on purpose, not a device that went away, and the next write goes.
TEST(Win32DriverModel, AWriteAbortedByAPurgeIsNoLostDevice) {
    for (const auto& v : kVariants) {
        SCOPED_TRACE(v.name);
        VirtualTime time;
        SerialDriverModel model(time, v.variant);
        ModelPorts ports(model);
        const auto port = ports.Open(1);
        port->SetState(CommState{.rtsCtsHandshake = true});
        model.SetCts(0, false);
        EXPECT_EQ(port->Write("abc", 3), 3u);
        port->Purge(true, true);
        model.SetCts(model.NowUs(), true);
        EXPECT_EQ(port->Write("def", 3), 3u);
        const auto fault = port->TakeFault();
        EXPECT_FALSE(fault && fault->reason == PortFault::Reason::DeviceGone) << fault->message;
    }
}
