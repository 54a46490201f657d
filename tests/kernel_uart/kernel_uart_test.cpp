// scalepoll on the kernel's own serial driver: a small Linux guest under QEMU
// (software emulation) runs the statically linked tool on its /dev/ttyS1, the
// kernel's 8250 driver over an emulated 16550A whose other side is
// scalepoll-sim on a host pseudo-terminal. QEMU's trace of the UART's
// register writes shows what the driver told the hardware: framing and
// divisor for each setting, and the modem control lines around every frame.
//
// A multiport PCI card (QEMU's pci-serial-2x, the kernel's 8250_pci driver)
// gives the guest /dev/ttyS4 and /dev/ttyS5; a run on ttyS5, with a second
// scalepoll-sim behind it, gets the same checks after the on-board runs.
//
// One boot runs every case (about 75 s); the tests read what it left.
// QEMU sends bytes without the line's pacing, so this shows the order of
// DTR and the transmit register, not how long a frame stays on the line.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "poll/Frames.h"
#include "tests/kernel_uart/Initramfs.h"
#include "tests/kernel_uart/UartTrace.h"
#include "tests/kernel_uart/GuestRuns.h"
#include "tests/support/Program.h"

namespace {

constexpr int kGuestSeconds = 180;      // QEMU is stopped after this whatever the guest does
constexpr unsigned kUartClock = 115200;  // the 16550's input clock over 16: speed = this / divisor

const char* const kRunsStart = "kernel-uart: runs-start";
const char* const kRunsEnd = "kernel-uart: runs-end";
// The card's run comes after the on-board runs, between two lines of its own,
// so that its register writes are told apart from theirs.
const char* const kCardStart = "kernel-uart: card-start";
const char* const kCardEnd = "kernel-uart: card-end";
const char* const kCardDevice = "/dev/ttyS5";  // the card's second port

// Beside the first line run, at the same time: a second scalepoll on the same
// port a second later, which finds it held (its settings, were they to reach
// the UART, would show in the first run's later frames); and COM4, the
// guest's /dev/ttyS3, which has no UART behind it. Every station of theirs is
// silent.
std::vector<GuestRun> SideRuns() {
    return {{"busy-port", {"COM2", "19200", "7", "Even", "2", "4"}, "0;4,1,0", kNoStationMs + kSilentStationMs},
            {"missing-uart", {"COM4", "9600", "8", "None", "1", "5"}, "0;5,1,0", kNoStationMs + kSilentStationMs}};
}

// On the card's second port through SCALEPOLL_COM2, the way a site names a
// port past COM4: station 3 answers, station 5 is silent.
LineRun CardRun() {
    return {{"multiport-card", {"COM2", "19200", "8", "Odd", "1", "3", "5"}, "0;3,0,1250;5,1,0",
             kNoStationMs + kSilentStationMs},
            {Filled(TriggerFrame(2)), Filled(ReadRequest(3)), Filled(ReadRequest(5)), Filled(ReadRequest(5)),
             Filled(ReadRequest(5))}};
}

std::string RunCommand(const GuestRun& run) {
    std::string command = "run " + run.name;
    for (const std::string& parameter : run.parameters) command += " " + parameter;
    return command;
}

// The guest's /schedule, in its init's terms.
std::string Schedule() {
    // COM2 is the guest's /dev/ttyS1: no SCALEPOLL_COMn is set.
    const std::vector<LineRun> lineRuns = LineRuns("COM2");
    // By the second's start the first run has long had the port.
    std::string script = RunCommand(lineRuns[0].run) + " &\nfirst=$!\nsleep 1\n";
    for (const GuestRun& run : SideRuns()) script += RunCommand(run) + " &\n";
    script += "wait $first\n";
    for (std::size_t k = 1; k < lineRuns.size(); ++k) script += RunCommand(lineRuns[k].run) + "\n";
    script += "wait\n";
    script += "say card-start\n(export SCALEPOLL_COM2=" + std::string(kCardDevice) + "; " + RunCommand(CardRun().run) +
              ")\nsay card-end\n";
    return script;
}

struct Outcome {
    int status = -1;
    std::int64_t ms = 0;
    std::string line;
};

struct Boot {
    std::filesystem::path directory;
    Finished qemu;
    std::int64_t bootMs = -1;  // from QEMU's start to the runs-start line on the console
    std::int64_t guestBootMs = -1;  // the guest's own uptime then
    std::string console;
    std::map<std::string, Outcome> outcomes;
    std::map<std::string, std::vector<TraceEntry>> traces;
    std::optional<std::vector<UartFrame>> frames;
    std::optional<std::vector<UartFrame>> cardFrames;

    std::string Where() const { return "\nconsole and trace in " + directory.string() + ":\n" + console; }
};

void ReadConsole(Boot& boot) {
    GuestConsole printed = ReadGuestConsole(boot.console, "kernel-uart:");
    boot.guestBootMs = printed.guestBootMs;
    boot.traces = std::move(printed.traces);
    for (const auto& [name, result] : printed.results) {
        std::istringstream words(result);
        Outcome outcome;
        words >> outcome.status >> outcome.ms;
        words.ignore(1);
        std::getline(words, outcome.line);
        boot.outcomes[name] = outcome;
    }
}

std::string GuestInitramfs() {
    Initramfs archive;
    for (const char* directory : {"bin", "dev", "proc", "tmp"}) archive.AddDirectory(directory);
    archive.AddCharacterDevice("dev/console", 5, 1);
    archive.AddFile("init", ReadWholeFile(GUEST_INIT), true);
    archive.AddFile("schedule", Schedule(), false);
    archive.AddFile("bin/busybox", ReadWholeFile(BUSYBOX_BINARY), true);
    archive.AddFile("bin/scalepoll", ReadWholeFile(SCALEPOLL_STATIC_BINARY), true);
    return archive.Finish();
}

Boot BootGuest() {
    Boot boot;
    boot.directory = GUEST_DIRECTORY;
    std::filesystem::remove_all(boot.directory);
    std::filesystem::create_directories(boot.directory);
    const auto path = [&](const char* name) { return (boot.directory / name).string(); };
    std::ofstream(path("initramfs.cpio"), std::ios::binary) << GuestInitramfs();

    // Station 3 answers; every other station is silent. The same behind the card.
    Program sim({SCALEPOLL_SIM_BINARY, "--station", "3:weight=1250"}, {}, path("sim-output"));
    Program cardSim({SCALEPOLL_SIM_BINARY, "--station", "3:weight=1250"}, {}, path("card-sim-output"));
    const std::string terminal = SimulatorTerminal(sim, path("sim-output"));
    const std::string cardTerminal = SimulatorTerminal(cardSim, path("card-sim-output"));
    if (terminal.empty() || cardTerminal.empty()) {
        boot.console = "scalepoll-sim did not print its pseudo-terminal";
        return boot;
    }

    Program qemu({"/usr/bin/timeout", std::to_string(kGuestSeconds), "qemu-system-x86_64", "-accel", "tcg", "-m", "256",
                  "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot", "-kernel", GUEST_KERNEL,
                  "-initrd", path("initramfs.cpio"), "-append",
                  "console=ttyS0 quiet loglevel=1 printk.devkmsg=on printk.time=0 panic=-1 8250.nr_uarts=8",
                  "-serial", "file:" + path("console"), "-serial", terminal, "-chardev",
                  "serial,id=card,path=" + cardTerminal, "-device", "pci-serial-2x,chardev2=card", "-D", path("trace"),
                  "-trace",
                  "serial_write", "-trace", "serial_update_parameters"},
                 {}, path("qemu-output"));
    while (qemu.Started() && boot.bootMs < 0 && SteadyMs() - qemu.StartMs() < kGuestSeconds * 1000 / 3) {
        if (ReadWholeFile(path("console")).find(kRunsStart) != std::string::npos)
            boot.bootMs = SteadyMs() - qemu.StartMs();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    boot.qemu = qemu.Wait();
    boot.console = ReadWholeFile(path("console"));
    ReadConsole(boot);
    const std::string trace = ReadWholeFile(path("trace"));
    boot.frames = FramesBetween(trace, kRunsStart, kCardStart);
    boot.cardFrames = FramesBetween(trace, kCardStart, kCardEnd);
    std::cout << "kernel-uart: QEMU ran " << boot.qemu.wallMs << " ms, the runs started " << boot.bootMs
              << " ms after its start (guest uptime " << boot.guestBootMs << " ms)\n";
    return boot;
}

const Boot& Guest() {
    static const Boot boot = BootGuest();
    return boot;
}

class KernelUart : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(guest_.qemu.status, 0) << "the guest did not run to its power-off" << guest_.Where();
        ASSERT_TRUE(guest_.frames) << "the runs-start and card-start lines are not both in the trace"
                                   << guest_.Where();
    }

    // The frames of the line runs, in order, with the run each belongs to.
    std::vector<std::pair<const LineRun*, std::string>> ExpectedFrames() const {
        std::vector<std::pair<const LineRun*, std::string>> expected;
        for (const LineRun& run : lineRuns_)
            for (const std::string& frame : run.frames) expected.emplace_back(&run, frame);
        return expected;
    }

    const Boot& guest_ = Guest();
    const std::vector<LineRun> lineRuns_ = LineRuns("COM2");
};

}  // namespace

TEST_F(KernelUart, EveryRunEndsOnTimeWithItsResultLine) {
    std::vector<GuestRun> runs = SideRuns();
    for (const LineRun& lineRun : lineRuns_) runs.push_back(lineRun.run);
    runs.push_back(CardRun().run);
    for (const GuestRun& run : runs) {
        SCOPED_TRACE(run.name);
        const auto outcome = guest_.outcomes.find(run.name);
        ASSERT_NE(outcome, guest_.outcomes.end()) << guest_.Where();
        EXPECT_EQ(outcome->second.line, run.resultLine);
        EXPECT_EQ(outcome->second.status, 0);
        EXPECT_GE(outcome->second.ms, run.protocolMs - kEarlyMs);
        EXPECT_LE(outcome->second.ms, run.protocolMs + kLateMs);
    }
}

// Each line run's framing and speed is in the UART when its frames go out,
// the first run's too after the second scalepoll tried the port.
TEST_F(KernelUart, EveryFramingAndSpeedReachesTheUart) {
    const auto expected = ExpectedFrames();
    const std::vector<UartFrame>& frames = *guest_.frames;
    ASSERT_EQ(frames.size(), expected.size()) << guest_.Where();
    for (std::size_t k = 0; k < frames.size(); ++k) {
        const LineRun& run = *expected[k].first;
        SCOPED_TRACE(run.run.name + ", frame " + std::to_string(k));
        const Strings& parameters = run.run.parameters;
        const unsigned speed = static_cast<unsigned>(std::stoul(parameters[1]));
        EXPECT_EQ(frames[k].divisor, kUartClock / speed);
        EXPECT_EQ(frames[k].baudRate, speed);
        EXPECT_EQ(Framing(frames[k].lineControl), parameters[2] + " " + parameters[3] + " " + parameters[4]);
    }
}

// Each frame's bytes all reach the transmit register while DTR is low and RTS
// off, and DTR goes up after its last byte, with RTS still off. This holds
// too for the first run's frames after the second scalepoll opened the port.
TEST_F(KernelUart, EveryFrameIsSentWithDtrLowAndRtsOffAndDtrRisesAfterItsLastByte) {
    const auto expected = ExpectedFrames();
    const std::vector<UartFrame>& frames = *guest_.frames;
    ASSERT_EQ(frames.size(), expected.size()) << guest_.Where();
    for (std::size_t k = 0; k < frames.size(); ++k) {
        SCOPED_TRACE(expected[k].first->run.name + ", frame " + std::to_string(k));
        EXPECT_EQ(frames[k].bytes, expected[k].second);
        EXPECT_EQ(frames[k].modemControl & (kDtr | kRts), 0);
        ASSERT_TRUE(frames[k].modemControlAfter);
        EXPECT_EQ(*frames[k].modemControlAfter & (kDtr | kRts), kDtr);
    }
}

// The card's port, on the kernel's 8250_pci driver, gets what the on-board
// UART gets: its speed and framing, and every frame written with DTR low and
// RTS off, DTR rising after its last byte.
TEST_F(KernelUart, TheMultiportCardsPortIsDrivenLikeTheOnBoardUart) {
    ASSERT_TRUE(guest_.cardFrames) << "the card-start and card-end lines are not both in the trace" << guest_.Where();
    const LineRun run = CardRun();
    const std::vector<UartFrame>& frames = *guest_.cardFrames;
    ASSERT_EQ(frames.size(), run.frames.size()) << guest_.Where();
    for (std::size_t k = 0; k < frames.size(); ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        EXPECT_EQ(frames[k].bytes, run.frames[k]);
        EXPECT_EQ(frames[k].divisor, kUartClock / 19200);
        EXPECT_EQ(frames[k].baudRate, 19200u);
        EXPECT_EQ(Framing(frames[k].lineControl), "8 Odd 1");
        EXPECT_EQ(frames[k].modemControl & (kDtr | kRts), 0);
        ASSERT_TRUE(frames[k].modemControlAfter);
        EXPECT_EQ(*frames[k].modemControlAfter & (kDtr | kRts), kDtr);
    }
}

// The drain ends when the driver says the frame has left, so each reply is
// read at the first read tick after its last byte arrived, and the request
// that follows goes out in the same tick. A drain that waited out its time
// limit (4 s) would push every reply and every later frame back by that much.
TEST_F(KernelUart, EveryReplyIsReadWithinOneReadTickOfItsArrival) {
    for (const char* name : {"answering-and-silent", "multiport-card"}) {
        SCOPED_TRACE(name);
        const auto trace = guest_.traces.find(name);
        ASSERT_NE(trace, guest_.traces.end()) << guest_.Where();
        ExpectTheReplyReadWithinOneReadTick(name, trace->second);
    }
}
