// scalepoll on a USB serial adapter: a Linux guest under QEMU (software
// emulation) with Debian's generic kernel, whose usbcore, xhci and ftdi_sio
// modules the guest loads, runs the statically linked tool on /dev/ttyUSB0,
// QEMU's FTDI adapter model (usb-serial) on an xHCI controller. The adapter's
// serial side is scalepoll-sim on a host pseudo-terminal.
//
// What reached the adapter comes from QEMU's trace (see UsbTrace.h): its
// speed and framing requests, its modem control requests, and the xHCI bulk
// OUT transfers that carry the frames. The controller hands the adapter its
// transfers and control requests one at a time, and the trace prints them in
// that order, so a modem control request traced between two transfers came
// after the first's bytes were written to the serial side and before the
// second's.
//
// The adapter is also pulled out mid-run through QEMU's monitor (device_del)
// and put back (device_add): after the trigger frame, at a frame, and before
// scalepoll opens the port. The guest asks for each with a
// console line; the host answers it.
//
// One boot runs every case (about two and a half minutes); the tests read
// what it left.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "poll/Frames.h"
#include "tests/kernel_uart/UsbTrace.h"
#include "tests/kernel_uart/GuestRuns.h"
#include "tests/kernel_uart/UsbGuest.h"
#include "tests/support/Program.h"

namespace {

constexpr int kGuestSeconds = 300;      // QEMU is stopped after this whatever the guest does

const char* const kModules[] = {"usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"};
const char* const kAdapter = "usb-serial,id=adapter,chardev=line";

// The adapter pulled out: station 3 answers while it is there, every other
// station is silent, and so is every station once it is gone.
//  - after the trigger frame: 7 s into the run, once station 3 has answered;
//  - at a frame: when the driver lowers DTR for the third frame (station 4's
//    first read request). The host acts on that request in the trace, but
//    the emulated send is over in well under a millisecond, so the adapter
//    goes in the moment after the frame, DTR already up again, not inside
//    its send: QEMU's adapter model writes a transfer's bytes at once and
//    would hold the whole emulator, monitor too, were the host to stall it;
//  - before the port is opened: no /dev/ttyUSB0 at all.
std::vector<GuestRun> UnplugRuns() {
    return {{"unplug-after-trigger", {"COM1", "9600", "8", "None", "1", "3", "4", "5"}, "0;3,0,1250;4,1,0;5,1,0",
             kNoStationMs + 2 * kSilentStationMs},
            {"unplug-at-frame", {"COM1", "9600", "8", "None", "1", "3", "4"}, "0;3,0,1250;4,1,0",
             kNoStationMs + kSilentStationMs},
            {"unplug-before-open", {"COM1", "9600", "8", "None", "1", "3"}, "0;3,1,0", kNoStationMs + kSilentStationMs}};
}

std::string RunCommand(const GuestRun& run) {
    std::string command = "run " + run.name;
    for (const std::string& parameter : run.parameters) command += " " + parameter;
    return command;
}

// The guest's /schedule, in its init's terms.
std::string Schedule() {
    std::string script;
    for (const LineRun& run : LineRuns("COM1")) script += RunCommand(run.run) + "\n";
    const std::vector<GuestRun> unplugs = UnplugRuns();
    script += RunCommand(unplugs[0]) + " &\nsleep 7\nsay unplug\nwait\nsay replug\nwait_for present\n";
    // The host counts DTR lowerings from the line on; the run starts after it.
    script += "say unplug-at-frame 3\nsleep 1\n" + RunCommand(unplugs[1]) + "\nsay replug\nwait_for present\n";
    script += "say unplug\nwait_for absent\n" + RunCommand(unplugs[2]) + "\n";
    return script;
}

struct Boot {
    std::filesystem::path directory;
    Finished qemu;
    std::int64_t guestBootMs = -1;  // the guest's uptime when /dev/ttyUSB0 was there
    std::string console;
    std::map<std::string, Outcome> outcomes;
    std::map<std::string, std::vector<TraceEntry>> traces;
    std::vector<UsbFrame> frames;
    std::vector<std::string> unplugs;  // what the host did, when

    std::string Where() const { return "\nconsole and trace in " + directory.string() + ":\n" + console; }
};

void ReadConsole(Boot& boot) {
    GuestConsole printed = ReadGuestConsole(boot.console, "kernel-usb:");
    boot.guestBootMs = printed.guestBootMs;
    boot.traces = std::move(printed.traces);
    boot.outcomes = RunOutcomes(printed);
}

// QEMU's human monitor on a Unix socket: commands in, its echo ignored.
class Monitor {
public:
    explicit Monitor(const std::string& path) : path_(path) {}
    ~Monitor() {
        if (socket_ >= 0) close(socket_);
    }
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    bool Send(const std::string& command) {
        if (socket_ < 0 && !Connect()) return false;
        const std::string line = command + "\n";
        return write(socket_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    }

private:
    bool Connect() {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path_.size() >= sizeof address.sun_path) return false;
        path_.copy(address.sun_path, path_.size());
        socket_ = socket(AF_UNIX, SOCK_STREAM, 0);
        if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
        close(socket_);
        socket_ = -1;
        return false;
    }

    std::string path_;
    int socket_ = -1;
};

// Does what the guest's console lines ask, each once, in order.
class UnplugHost {
public:
    UnplugHost(Monitor& monitor, std::string tracePath, std::int64_t startMs)
        : monitor_(monitor), tracePath_(std::move(tracePath)), startMs_(startMs) {}

    void Poll(const std::string& console) {
        if (pendingFrames_ && DtrLowerings(ReadWholeFile(tracePath_)) >= *pendingFrames_) {
            Do("device_del adapter");
            pendingFrames_.reset();
        }
        std::istringstream lines(console);
        std::size_t index = 0;
        for (std::string line; std::getline(lines, line); ++index) {
            if (index < handled_) continue;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            ++handled_;
            if (line == "kernel-usb: unplug") Do("device_del adapter");
            if (line == "kernel-usb: replug") Do(std::string("device_add ") + kAdapter);
            if (line.rfind("kernel-usb: unplug-at-frame ", 0) == 0)
                pendingFrames_ = DtrLowerings(ReadWholeFile(tracePath_)) + std::stoul(line.substr(line.rfind(' ')));
        }
    }

    const std::vector<std::string>& Done() const { return done_; }

private:
    void Do(const std::string& command) {
        const bool sent = monitor_.Send(command);
        done_.push_back(command + (sent ? "" : " (not sent)") + " at " + std::to_string(SteadyMs() - startMs_) + " ms");
    }

    Monitor& monitor_;
    std::string tracePath_;
    std::int64_t startMs_;
    std::size_t handled_ = 0;
    std::optional<std::size_t> pendingFrames_;  // pull the adapter out once this many DTR lowerings are traced
    std::vector<std::string> done_;
};

Boot BootGuest() {
    Boot boot;
    boot.directory = GUEST_DIRECTORY;
    std::filesystem::remove_all(boot.directory);
    std::filesystem::create_directories(boot.directory);
    const auto path = [&](const char* name) { return (boot.directory / name).string(); };
    std::ofstream(path("initramfs.cpio"), std::ios::binary)
        << UsbGuestInitramfs(USB_GUEST_INIT, Schedule(), {std::begin(kModules), std::end(kModules)});

    Program sim({SCALEPOLL_SIM_BINARY, "--station", "3:weight=1250"}, {}, path("sim-output"));
    const std::string terminal = SimulatorTerminal(sim, path("sim-output"));
    if (terminal.empty()) {
        boot.console = "scalepoll-sim did not print its pseudo-terminal";
        return boot;
    }

    Program qemu({"/usr/bin/timeout", std::to_string(kGuestSeconds), "qemu-system-x86_64", "-accel", "tcg", "-m", "256",
                  "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot", "-kernel", GUEST_USB_KERNEL,
                  "-initrd", path("initramfs.cpio"), "-append",
                  "console=ttyS0 quiet loglevel=1 printk.devkmsg=on printk.time=0 panic=-1", "-serial",
                  "file:" + path("console"), "-chardev", "serial,id=line,path=" + terminal, "-device", "qemu-xhci",
                  "-device", kAdapter, "-monitor", "unix:" + path("monitor") + ",server,nowait", "-D", path("trace"),
                  "-trace", "usb_serial_*", "-trace", "usb_xhci_xfer_start", "-trace", "usb_xhci_xfer_success"},
                 {}, path("qemu-output"));
    Monitor monitor(path("monitor"));
    UnplugHost host(monitor, path("trace"), qemu.StartMs());
    std::int64_t bootMs = -1;
    while (qemu.Started() && ReadWholeFile(path("console")).find("reboot: Power down") == std::string::npos &&
           SteadyMs() - qemu.StartMs() < kGuestSeconds * 1000) {
        const std::string console = ReadWholeFile(path("console"));
        if (bootMs < 0 && console.find("kernel-usb: booted-ms") != std::string::npos)
            bootMs = SteadyMs() - qemu.StartMs();
        host.Poll(console);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    boot.qemu = qemu.Wait();
    boot.console = ReadWholeFile(path("console"));
    ReadConsole(boot);
    boot.frames = UsbFrames(ReadWholeFile(path("trace")));
    boot.unplugs = host.Done();
    std::cout << "kernel-usb: QEMU ran " << boot.qemu.wallMs << " ms, /dev/ttyUSB0 was there " << bootMs
              << " ms after its start (guest uptime " << boot.guestBootMs << " ms)\n";
    for (const std::string& done : boot.unplugs) std::cout << "kernel-usb: " << done << "\n";
    // The last frame on the adapter is the at-frame run's third.
    if (!boot.frames.empty())
        std::cout << "kernel-usb: " << boot.frames.size() << " frames traced; the last one's DTR "
                  << (boot.frames.back().dtrAfter ? "rose before the adapter went" : "never rose: it went mid-frame")
                  << "\n";
    for (const auto& [name, outcome] : boot.outcomes)
        std::cout << "kernel-usb: " << name << " took " << outcome.ms << " ms, " << outcome.cpuMs << " ms CPU: \""
                  << outcome.line << "\"\n";
    return boot;
}

const Boot& Guest() {
    static const Boot boot = BootGuest();
    return boot;
}

class KernelUsb : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(guest_.qemu.status, 0) << "the guest did not run to its power-off" << guest_.Where();
    }

    const Boot& guest_ = Guest();
    const std::vector<LineRun> lineRuns_ = LineRuns("COM1");
};

// QEMU's adapter model takes no mark or space parity: it refuses the whole
// framing request, and the trace says so.
std::string FramingQemuTakes(const Strings& parameters) {
    if (parameters[3] == "Mark" || parameters[3] == "Space") return "unsupported";
    return parameters[2] + " " + parameters[3] + " " + parameters[4];
}

}  // namespace

TEST_F(KernelUsb, EveryRunWithTheAdapterInPlaceEndsOnTimeWithItsResultLine) {
    for (const LineRun& run : lineRuns_) ExpectOnTime(guest_.outcomes, run.run, guest_.Where());
}

// Each run's speed and framing reach the adapter before its frames; every
// frame goes out with DTR low and RTS off, and DTR rises only after its last
// byte, RTS still off.
TEST_F(KernelUsb, EveryFrameGoesOutWithItsSettingsDtrLowAndRtsOffAndDtrRisesAfterIt) {
    std::vector<std::pair<const LineRun*, std::string>> expected;
    for (const LineRun& run : lineRuns_)
        for (const std::string& frame : run.frames) expected.emplace_back(&run, frame);
    ASSERT_GE(guest_.frames.size(), expected.size()) << guest_.Where();
    for (std::size_t k = 0; k < expected.size(); ++k) {
        const Strings& parameters = expected[k].first->run.parameters;
        const UsbFrame& frame = guest_.frames[k];
        SCOPED_TRACE(expected[k].first->run.name + ", frame " + std::to_string(k));
        EXPECT_EQ(frame.length, expected[k].second.size());
        EXPECT_EQ(frame.baudRate, std::stoul(parameters[1]));
        EXPECT_EQ(frame.framing, FramingQemuTakes(parameters));
        EXPECT_FALSE(frame.dtr);
        EXPECT_FALSE(frame.rts);
        EXPECT_EQ(frame.dtrAfter, std::optional<bool>(true));
        EXPECT_EQ(frame.rtsAfter, std::optional<bool>(false));
    }
}

// The drain ends when ftdi_sio says the frame has left, so each reply is read
// at the first read tick after its last byte arrived and the request that
// follows goes out in the same tick, the adapter's one answer before a pull
// too. A drain that waited out its time limit (4 s) would push every reply
// and every later frame back by that much.
TEST_F(KernelUsb, EveryReplyIsReadWithinOneReadTickOfItsArrival) {
    for (const char* name : {"answering-and-silent", "unplug-after-trigger", "unplug-at-frame"}) {
        SCOPED_TRACE(name);
        const auto trace = guest_.traces.find(name);
        ASSERT_NE(trace, guest_.traces.end()) << guest_.Where();
        ExpectTheReplyReadWithinOneReadTick(name, trace->second);
    }
}

// Pulled out after the trigger frame, at a frame, or before the
// port is opened: the run still ends on time with its one result line, the
// stations not yet answered silent, and it burns no CPU while it waits on
// the vanished device (a tenth of its time would be a busy loop's share).
TEST_F(KernelUsb, APulledOutAdapterLeavesTheRunOnTimeWithOneLineAndNoCpuBurnt) {
    for (const GuestRun& run : UnplugRuns()) {
        ExpectOnTime(guest_.outcomes, run, guest_.Where());
        const auto outcome = guest_.outcomes.find(run.name);
        if (outcome == guest_.outcomes.end()) continue;
        EXPECT_LT(outcome->second.cpuMs, outcome->second.ms / 10) << run.name;
        EXPECT_EQ(outcome->second.lineEnds, 0) << run.name;
    }
    EXPECT_EQ(guest_.unplugs.size(), 5u) << "three pulls and two replugs" << guest_.Where();
}

// The trace reading on its own, from lines as QEMU prints them: only bulk
// OUT transfers are frames (the IN endpoint's status reports are not), a
// frame ends at the next modem control request, a refused framing request
// shows, and a descriptor request QEMU does not know leaves the framing be.
TEST(UsbTrace, FramesAreBulkOutTransfersBetweenModemControlRequests) {
    const std::string trace =
        "usb_serial_handle_control dev 0:1 got control 0x4001, value 0x303\n"
        "usb_serial_set_data dev 0:1 parity E, data bits 7, stop bits 2\n"
        "usb_serial_set_baud dev 0:1 baud rate 300\n"
        "usb_serial_unsupported_control dev 0:1 got unsupported/bogus control 0x8006, value 0x600\n"
        "usb_serial_handle_control dev 0:1 got control 0x4001, value 0x200\n"
        "usb_serial_handle_control dev 0:1 got control 0x4001, value 0x300\n"
        "1234@1.5:usb_xhci_xfer_start 0x10: slotid 1, epid 4, streamid 0\n"
        "usb_xhci_xfer_start 0x20: slotid 1, epid 3, streamid 0\n"
        "usb_xhci_xfer_success 0x20: len 2\n"
        "usb_xhci_xfer_success 0x10: len 8\n"
        "usb_xhci_xfer_start 0x10: slotid 1, epid 4, streamid 0\n"
        "usb_xhci_xfer_success 0x10: len 7\n"
        "usb_serial_handle_control dev 0:1 got control 0x4001, value 0x101\n"
        "usb_serial_unsupported_parity dev 0:1 unsupported parity 3\n"
        "usb_serial_handle_control dev 0:1 got control 0x4001, value 0x300\n"
        "usb_xhci_xfer_start 0x30: slotid 1, epid 4, streamid 0\n"
        "usb_xhci_xfer_success 0x30: len 15\n";
    const std::vector<UsbFrame> frames = UsbFrames(trace);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].length, 15u);
    EXPECT_EQ(frames[0].baudRate, 300u);
    EXPECT_EQ(frames[0].framing, "7 Even 2");
    EXPECT_FALSE(frames[0].dtr);
    EXPECT_FALSE(frames[0].rts);
    EXPECT_EQ(frames[0].dtrAfter, std::optional<bool>(true));
    EXPECT_EQ(frames[0].rtsAfter, std::optional<bool>(false));
    EXPECT_EQ(frames[1].length, 15u);
    EXPECT_EQ(frames[1].framing, "unsupported");
    EXPECT_FALSE(frames[1].dtrAfter);  // the trace ends before DTR rises
    EXPECT_EQ(DtrLowerings(trace), 2u);
}
