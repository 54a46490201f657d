// The POSIX serial ports: the termios built for each line setting, the port
// paths, and real ports over pseudo-terminals (never the machine's own
// serial devices).
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <optional>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "platform/SerialPort.h"
#include "platform/posix/BoundedCall.h"
#include "platform/posix/OpenFailures.h"
#include "platform/posix/Termios.h"

namespace {

// Every flag set and a speed already chosen, so that a flag the build forgets
// to clear or a speed it should keep shows.
termios UsedSettings() {
    termios settings{};
    settings.c_iflag = settings.c_oflag = settings.c_cflag = settings.c_lflag = ~tcflag_t{0};
    for (cc_t& control : settings.c_cc) control = 5;
    cfsetispeed(&settings, B4800);
    cfsetospeed(&settings, B4800);
    return settings;
}

constexpr tcflag_t kFramingFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr tcflag_t kTranslatingInputFlags =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF | IXANY | INPCK;
constexpr tcflag_t kLineEditingFlags = ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN;

TEST(LineSettings, FramingAndHardwareHandshake) {
    struct Case {
        const char* name;
        std::uint8_t byteSize, parity, stopBits;
        bool rtsCts;
        tcflag_t framing;
    };
    const Case cases[] = {
        {"8N1", 8, 0, 0, false, CS8},
        {"7N1", 7, 0, 0, false, CS7},
        {"7O1", 7, 1, 0, false, CS7 | PARENB | PARODD},
        {"7E1", 7, 2, 0, false, CS7 | PARENB},
        {"7M1", 7, 3, 0, false, CS7 | PARENB | CMSPAR | PARODD},
        {"7S1", 7, 4, 0, false, CS7 | PARENB | CMSPAR},
        {"6N1", 6, 0, 0, false, CS6},
        {"5N1", 5, 0, 0, false, CS5},
        {"8N2", 8, 0, 2, false, CS8 | CSTOPB},
        {"8N1.5 gets two", 8, 0, 1, false, CS8 | CSTOPB},
        {"8N1 RTS/CTS", 8, 0, 0, true, CS8 | CRTSCTS},
    };
    for (const Case& c : cases) {
        CommState state;
        state.byteSize = c.byteSize;
        state.parity = c.parity;
        state.stopBits = c.stopBits;
        state.rtsCtsHandshake = c.rtsCts;
        const termios settings = LineSettings(UsedSettings(), state);
        EXPECT_EQ(settings.c_cflag & kFramingFlags, c.framing) << c.name;
        // Read back as the trace tells it: one and a half stop bits are two.
        const CommState inForce = SettingsInForce(settings);
        EXPECT_EQ(inForce.baudRate, 9600u) << c.name;
        EXPECT_EQ(inForce.byteSize, c.byteSize) << c.name;
        EXPECT_EQ(inForce.parity, c.parity) << c.name;
        EXPECT_EQ(inForce.stopBits, c.stopBits == 0 ? 0 : 2) << c.name;
    }
}

// The holder of a lock on one file, among the other locks, the waiting ones
// ("->") and other kinds on the same file.
TEST(LockHolder, FromProcLocks) {
    const char* const locks =
        "1: POSIX  ADVISORY  WRITE 300 00:1b:3 0 EOF\n"
        "2: FLOCK  ADVISORY  WRITE 4711 00:1b:4 0 EOF\n"
        "2: -> FLOCK  ADVISORY  WRITE 999 00:1b:3 0 EOF\n"
        "3: FLOCK  ADVISORY  WRITE 812 00:1b:3 0 EOF\n"
        "4: FLOCK  ADVISORY  WRITE 77 fd:01:3 0 EOF\n";
    EXPECT_EQ(LockHolder(locks, 0, 0x1b, 3), 812);
    EXPECT_EQ(LockHolder(locks, 0, 0x1b, 4), 4711);
    EXPECT_EQ(LockHolder(locks, 0xfd, 1, 3), 77);
    EXPECT_EQ(LockHolder(locks, 0, 0x1b, 5), std::nullopt);
    EXPECT_EQ(LockHolder("", 0, 0x1b, 3), std::nullopt);
}

TEST(NameOfId, FromPasswdOrGroupText) {
    const char* const groups = "root:x:0:\ntty:x:5:\ndialout:x:20:alice,bob\nbroken\n:x:30:\n";
    EXPECT_EQ(NameOfId(groups, 20), "dialout");
    EXPECT_EQ(NameOfId(groups, 0), "root");
    EXPECT_EQ(NameOfId(groups, 2), std::nullopt);
    EXPECT_EQ(NameOfId(groups, 30), std::nullopt);
    EXPECT_EQ(NameOfId("nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n", 65534), "nobody");
}

// The hint of a refused open names owner, group and mode, and what would let
// the user in: the group only where the group may read and write the device
// (a pseudo-terminal's 0620 lets its group write, not read).
TEST(PermissionHint, OwnerGroupModeAndWhatWouldLetTheUserIn) {
    const char* const passwd = "root:x:0:0:root:/root:/bin/sh\nsite:x:1000:1000::/home/site:/bin/sh\n";
    const char* const groups = "root:x:0:\ntty:x:5:\ndialout:x:20:site\n";
    struct Case {
        DeviceAccess access;
        const char* hint;
    };
    const Case cases[] = {
        {{0, 0, S_IFCHR | 0600, 1000, {1000}}, "owner root, group root, mode 0600: only its owner may open it"},
        {{0, 5, S_IFCHR | 0620, 1000, {1000}}, "owner root, group tty, mode 0620: only its owner may open it"},
        {{0, 20, S_IFCHR | 0660, 1000, {1000}},
         "owner root, group dialout, mode 0660: user site is not in group dialout"},
        {{0, 20, S_IFCHR | 0660, 4242, {4242, 20}},
         "owner root, group dialout, mode 0660: user uid 4242 is in group dialout"},
        {{1000, 77, S_IFCHR | 0000, 1000, {1000}}, "owner site, group gid 77, mode 0000: user site is its owner"},
    };
    for (const Case& c : cases) EXPECT_EQ(PermissionHint(c.access, passwd, groups), c.hint);
}

TEST(LineSettings, RawLineWhateverWasSetBefore) {
    const termios settings = LineSettings(UsedSettings(), CommState{});
    EXPECT_EQ(settings.c_iflag & kTranslatingInputFlags, 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_lflag & kLineEditingFlags, 0u);
    EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD | HUPCL), CLOCAL | CREAD);
    EXPECT_EQ(settings.c_cc[VMIN], 0);
    EXPECT_EQ(settings.c_cc[VTIME], 0);
}

TEST(LineSettings, XonXoffUsesTheGivenCharacters) {
    CommState state;
    state.xonXoff = true;
    state.xonChar = 0x21;
    state.xoffChar = 0x23;
    const termios settings = LineSettings(UsedSettings(), state);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | IXANY), IXON | IXOFF);
    EXPECT_EQ(settings.c_cc[VSTART], 0x21);
    EXPECT_EQ(settings.c_cc[VSTOP], 0x23);
}

TEST(LineSettings, SpeedsThePlatformHasAreSetOthersKeepThePreviousOne) {
    const struct {
        std::uint32_t baudRate;
        speed_t speed;
    } cases[] = {{110, B110},     {300, B300},     {600, B600},     {1200, B1200},     {2400, B2400},
                 {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400},   {57600, B57600},
                 {115200, B115200}, {14400, B4800}, {56000, B4800}};
    for (const auto& c : cases) {
        CommState state;
        state.baudRate = c.baudRate;
        const termios settings = LineSettings(UsedSettings(), state);
        EXPECT_EQ(cfgetospeed(&settings), c.speed) << c.baudRate;
        EXPECT_EQ(cfgetispeed(&settings), c.speed) << c.baudRate;
    }
}

TEST(PortPath, EnvironmentFirstThenTheSystemDevices) {
    setenv("SCALEPOLL_COM1", "/tmp/scalepoll-line", 1);
    setenv("SCALEPOLL_COM2", "", 1);
    unsetenv("SCALEPOLL_COM4");
    EXPECT_EQ(PortPath(1), "/tmp/scalepoll-line");
    EXPECT_EQ(PortPath(2), "/dev/ttyS1");
    EXPECT_EQ(PortPath(4), "/dev/ttyS3");
    for (int outOfRange : {-1, 0, 5}) EXPECT_EQ(PortPath(outOfRange), std::nullopt) << outOfRange;
}

using Clock = std::chrono::steady_clock;

std::int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// COM1 is a pseudo-terminal's slave side opened through SystemSerialPorts(),
// set up as the driver sets it up; COM2..COM4 lead nowhere. The test plays
// the far end of the line on the master side.
class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        setenv("SCALEPOLL_COM1", ttyname(slave_), 1);
        for (const char* name : {"SCALEPOLL_COM2", "SCALEPOLL_COM3", "SCALEPOLL_COM4"}) {
            setenv(name, "/nonexistent/scalepoll-port", 1);
        }
        port_ = SystemSerialPorts().Open(1);
        ASSERT_NE(port_, nullptr);
        port_->SetState(CommState{});
        port_->SetTimeouts(CommTimeouts{1, 0, 1, 0, 0});
    }

    void TearDown() override {
        port_.reset();
        CloseMaster();
        if (slave_ >= 0) close(slave_);
    }

    void CloseMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }

    std::vector<std::uint8_t> ReadOnMaster(std::size_t count) {
        std::vector<std::uint8_t> got(count);
        std::size_t have = 0;
        const auto start = Clock::now();
        while (have < count && MsSince(start) < 5000) {
            pollfd entry{master_, POLLIN, 0};
            if (poll(&entry, 1, 100) <= 0) continue;
            const ssize_t n = read(master_, got.data() + have, count - have);
            if (n > 0) have += static_cast<std::size_t>(n);
        }
        got.resize(have);
        return got;
    }

    std::vector<std::uint8_t> ReadOnPort(std::size_t count) {
        std::vector<std::uint8_t> got(count);
        std::size_t have = 0;
        const auto start = Clock::now();
        while (have < count && MsSince(start) < 5000) {
            std::size_t n = 0;
            if (!port_->Read(got.data() + have, count - have, n)) break;
            have += n;
        }
        got.resize(have);
        return got;
    }

    int master_ = -1;
    int slave_ = -1;
    std::unique_ptr<SerialPort> port_;
};

TEST_F(PtyPort, EveryByteValuePassesBothWaysUnchanged) {
    std::vector<std::uint8_t> all(256);
    std::iota(all.begin(), all.end(), std::uint8_t{0});

    ASSERT_EQ(port_->Write(all.data(), all.size()), all.size());
    EXPECT_EQ(ReadOnMaster(all.size()), all);

    ASSERT_EQ(write(master_, all.data(), all.size()), 256);
    EXPECT_EQ(ReadOnPort(all.size()), all);
}

// A pseudo-terminal keeps 8 data bits without parity whatever is asked, but
// it keeps the speed and the other framing flags; each state here also has to
// undo what the one before set.
TEST_F(PtyPort, TheLineKeepsWhatWasSet) {
    struct Case {
        const char* name;
        std::uint32_t baudRate;
        std::uint8_t parity, stopBits;
        bool rtsCts;
        speed_t speed;
        tcflag_t kept;
    };
    const Case cases[] = {
        {"19200 7O2 RTS/CTS", 19200, 1, 2, true, B19200, PARODD | CSTOPB | CRTSCTS},
        {"115200 7E1", 115200, 2, 0, false, B115200, 0},
        {"1200 7M1", 1200, 3, 0, false, B1200, PARODD | CMSPAR},
    };
    for (const Case& c : cases) {
        CommState state;
        state.baudRate = c.baudRate;
        state.byteSize = 7;
        state.parity = c.parity;
        state.stopBits = c.stopBits;
        state.rtsCtsHandshake = c.rtsCts;
        port_->SetState(state);
        termios now{};
        ASSERT_EQ(tcgetattr(slave_, &now), 0);
        EXPECT_EQ(cfgetospeed(&now), c.speed) << c.name;
        EXPECT_EQ(now.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS), c.kept) << c.name;
        EXPECT_EQ(now.c_cflag & (CLOCAL | HUPCL), CLOCAL) << c.name;
        EXPECT_EQ(now.c_iflag & kTranslatingInputFlags, 0u) << c.name;
        EXPECT_EQ(now.c_oflag & OPOST, 0u) << c.name;
        EXPECT_EQ(now.c_lflag & kLineEditingFlags, 0u) << c.name;
    }
}

TEST_F(PtyPort, AHeldPortDoesNotOpenAgainUntilClosed) {
    EXPECT_EQ(SystemSerialPorts().Open(1), nullptr);
    const OpenFailure busy = SystemSerialPorts().LastOpenFailure();
    EXPECT_EQ(busy.reason, OpenFailure::Reason::Busy);
    EXPECT_TRUE(busy.hint.starts_with("held by process " + std::to_string(getpid()) + " (")) << busy.hint;
    port_.reset();
    EXPECT_NE(SystemSerialPorts().Open(1), nullptr);
}

// The exclusive-terminal flag would outlive the port while another process
// (here the test) keeps the terminal open, and refuse a normal user's next
// open with EBUSY, also after a run that was killed: the lock alone gives
// exclusive use.
TEST_F(PtyPort, LeavesNoExclusiveFlagBehindThatLocksTheUserOut) {
    int exclusive = -1;
    ASSERT_EQ(ioctl(slave_, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    port_.reset();
    ASSERT_EQ(ioctl(slave_, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
}

TEST_F(PtyPort, MissingAndUnknownPortsDoNotOpen) {
    for (int portNumber : {2, 0, 5}) EXPECT_EQ(SystemSerialPorts().Open(portNumber), nullptr) << portNumber;
}

TEST_F(PtyPort, ReadWithNothingWaitingReturnsAtOnce) {
    std::uint8_t buffer[16];
    std::size_t got = 99;
    const auto start = Clock::now();
    EXPECT_TRUE(port_->Read(buffer, sizeof buffer, got));
    EXPECT_EQ(got, 0u);
    EXPECT_LT(MsSince(start), 1000);
}

TEST_F(PtyPort, AFarEndThatHungUpEndsWaitingWritingAndReading) {
    CloseMaster();
    const std::uint8_t byte = 0x55;
    std::uint8_t buffer[16];
    std::size_t got = 99;
    EXPECT_FALSE(port_->WaitWritable(2000));
    EXPECT_FALSE(port_->Drain(2000));
    EXPECT_EQ(port_->Write(&byte, 1), 0u);
    EXPECT_FALSE(port_->Read(buffer, sizeof buffer, got));
    EXPECT_EQ(got, 0u);
}

// The master side reads nothing, so the line fills up and never drains.
TEST_F(PtyPort, AFullLineIsATimeOutNotALostDevice) {
    const std::vector<std::uint8_t> block(4096, 0x41);
    int blocks = 0;
    while (port_->Write(block.data(), block.size()) > 0) ASSERT_LT(++blocks, 10000);
    const auto start = Clock::now();
    EXPECT_TRUE(port_->WaitWritable(100));
    // It waits out the time, unless the line drained and really has room.
    if (MsSince(start) < 50) {
        EXPECT_GT(port_->Write(block.data(), 1), 0u);
    }
    EXPECT_LT(MsSince(start), 5000);
    // A pseudo-terminal has no transmitter to wait for; its drain ends at once.
    const auto drainStart = Clock::now();
    port_->Drain(3000);
    EXPECT_LT(MsSince(drainStart), 2000);
}

// A driver's wait until sent that ends at a set time, as the kernel's does:
// a signal cuts it short with EINTR, and asking again waits on. Without an
// end it waits for ever, as for a transmitter that never empties.
class DriverWait {
public:
    explicit DriverWait(std::optional<std::int64_t> endsAfterMs) {
        if (!endsAfterMs) return;
        timespec at{};
        clock_gettime(CLOCK_MONOTONIC, &at);
        at.tv_sec += static_cast<time_t>(*endsAfterMs / 1000);
        at.tv_nsec += static_cast<long>(*endsAfterMs % 1000) * 1'000'000;
        if (at.tv_nsec >= 1'000'000'000) {
            at.tv_sec += 1;
            at.tv_nsec -= 1'000'000'000;
        }
        endsAt_ = at;
    }

    int operator()() {
        ++calls;
        if (!endsAt_) return pause();
        const int error = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &*endsAt_, nullptr);
        if (error == 0) return 0;
        errno = error;
        return -1;
    }

    int calls = 0;

private:
    std::optional<timespec> endsAt_;
};

// What the drain meets on each kind of port. It never asks the line status,
// so a status that is stale in either direction cannot move DTR: the drain
// ends when the driver's own wait ends, or at the limit.
TEST(BoundedDrain, EndsWithTheDriversWaitOrAtTheLimit) {
    struct Case {
        const char* name;
        std::optional<std::int64_t> driverWaitMs;
        std::int64_t limitMs;
        bool drained;
        std::int64_t atLeastMs;
    };
    const Case cases[] = {
        // A real FTDI chip: its copied status said "empty" before the frame
        // reached the chip; the driver asks the chip and waits 60 ms more.
        {"status says empty too early", 60, 4000, true, 60},
        // QEMU's FTDI adapter never sets the bit; the driver's wait is short.
        {"status never says empty", 10, 4000, true, 10},
        {"driver waits for ever", std::nullopt, 150, false, 150},
        {"no time left", std::nullopt, 0, false, 0},
    };
    for (const Case& c : cases) {
        DriverWait wait(c.driverWaitMs);
        const auto start = Clock::now();
        EXPECT_EQ(CallWithin(c.limitMs, std::ref(wait)), c.drained) << c.name;
        const std::int64_t tookMs = MsSince(start);
        EXPECT_GE(tookMs, c.atLeastMs) << c.name;
        EXPECT_LT(tookMs, c.atLeastMs + 2000) << c.name;
        EXPECT_EQ(wait.calls, c.limitMs > 0 ? 1 : 0) << c.name;
    }
}

void Nothing(int) {}

// A one-shot timer of the test's own, sending `signal` after `ms`.
timer_t SignalAfter(int signal, long ms) {
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = signal;
    timer_t timer{};
    EXPECT_EQ(timer_create(CLOCK_MONOTONIC, &event, &timer), 0);
    itimerspec when{};
    when.it_value.tv_nsec = ms * 1'000'000;
    timer_settime(timer, 0, &when, nullptr);
    return timer;
}

TEST(BoundedDrain, AnotherSignalDoesNotEndTheWaitEarly) {
    struct sigaction handler {};
    handler.sa_handler = Nothing;  // no SA_RESTART: the wait returns EINTR
    struct sigaction previous {};
    sigaction(SIGUSR1, &handler, &previous);
    const timer_t other = SignalAfter(SIGUSR1, 20);
    DriverWait wait(120);
    EXPECT_TRUE(CallWithin(4000, std::ref(wait)));
    EXPECT_EQ(wait.calls, 2);
    timer_delete(other);
    sigaction(SIGUSR1, &previous, nullptr);
}

// The drain's signal is blocked by the caller and would end the process if
// it came after the drain: the drain still ends at its limit, and leaves the
// mask and the handler as they were, with no signal left behind.
TEST(BoundedDrain, LeavesTheSignalAsItFoundIt) {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGALRM);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &blocked, &before);
    DriverWait never(std::nullopt);
    EXPECT_FALSE(CallWithin(50, std::ref(never)));
    sigset_t after;
    pthread_sigmask(SIG_SETMASK, &before, &after);
    EXPECT_EQ(sigismember(&after, SIGALRM), 1);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGALRM), 0);
    struct sigaction action {};
    sigaction(SIGALRM, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_DFL);
    // Waits that end right at the limit, with SIGALRM's default action
    // (ending the process) back in force after each.
    for (int i = 0; i < 20; ++i) {
        DriverWait atTheLimit(5);
        CallWithin(5, std::ref(atTheLimit));
    }
    poll(nullptr, 0, 50);
}

}  // namespace
