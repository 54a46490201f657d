// The machine's serial ports as terminal devices (termios).
//
// A port is opened without waiting for a modem and stays non-blocking, so no
// read or write can hold up the event loop; the only waits are poll() calls
// bounded by the caller's time limits. Exclusive use rests on flock(): the
// lock is taken before any line setting is touched, and goes with the file
// descriptor when the port is closed. Modem line calls a device cannot do
// (a pseudo-terminal has none) fail quietly.
//
// Draining polls rather than blocking in tcdrain(), whose wait has no limit:
// first the kernel's output queue (TIOCOUTQ), then the UART's transmitter
// (TIOCSERGETLSR's TEMT, set once the shift register is empty), sleeping
// about as long as the bytes left take on the line. A device with no line
// status register to ask (a USB adapter, a pseudo-terminal) gets tcdrain()
// once its queue is empty, when the kernel's own wait is short.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "platform/NetworkPort.h"
#include "platform/SerialPort.h"
#include "platform/TimeSource.h"
#include "platform/posix/Poll.h"
#include "platform/posix/Termios.h"

namespace {

// Line time of one character: start bit, data bits, parity bit, stop bits.
std::int64_t CharacterMicros(const CommState& state) {
    const std::int64_t bits = 1 + state.byteSize + (state.parity != 0 ? 1 : 0) + (state.stopBits != 0 ? 2 : 1);
    return bits * 1'000'000 / std::max<std::uint32_t>(state.baudRate, 1);
}

void SleepMs(std::int64_t ms) { poll(nullptr, 0, PollTimeoutMs(ms)); }

class PosixSerialPort final : public SerialPort {
public:
    explicit PosixSerialPort(int fd) : fd_(fd), input_(fd) {}
    ~PosixSerialPort() override { close(fd_); }
    PosixSerialPort(const PosixSerialPort&) = delete;
    PosixSerialPort& operator=(const PosixSerialPort&) = delete;

    void SetState(const CommState& state) override {
        termios current{};
        if (tcgetattr(fd_, &current) == 0) {
            const termios wanted = LineSettings(current, state);
            // The result is ignored: a setting the device refuses is simply
            // not in force (a Linux pseudo-terminal keeps 8 data bits without
            // parity whatever is asked).
            tcsetattr(fd_, TCSANOW, &wanted);
        }
        characterMicros_ = CharacterMicros(state);
        // RTS is held off without hardware handshake; with it the kernel
        // moves RTS, starting from raised.
        rtsHeldOff_ = !state.rtsCtsHandshake;
        SetModemLine(TIOCM_RTS, !rtsHeldOff_);
        SetModemLine(TIOCM_DTR, state.dtrEnable);
    }

    // The kernel's queues have sizes of their own that cannot be changed,
    // and OutputQueued reports the kernel's count, so there is nothing to keep.
    void SetQueueSizes(std::uint16_t, std::uint16_t) override {}

    // A read takes what has arrived and never waits: the driver's read timer
    // already spaces the reads, and a wait of its own in every idle tick would
    // only cost a second wake-up per tick.
    void SetTimeouts(const CommTimeouts&) override {}

    void Purge(bool input, bool output) override {
        if (input && output) {
            tcflush(fd_, TCIOFLUSH);
        } else if (input) {
            tcflush(fd_, TCIFLUSH);
        } else if (output) {
            tcflush(fd_, TCOFLUSH);
        }
    }

    // A terminal keeps no error state to clear.
    std::uint32_t OutputQueued() override {
        int queued = 0;
        if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
        return static_cast<std::uint32_t>(queued);
    }

    // Any other open of the port raises DTR and RTS (the lock does not stop
    // an open, only a second lock), so a second program trying the port can leave RTS up
    // under this one. Lowering DTR for a frame therefore puts a held-off RTS
    // back off in the same call: no frame goes out with RTS raised.
    void SetDtr(bool raised) override {
        if (raised) {
            SetModemLine(TIOCM_DTR, true);
        } else {
            SetModemLine(TIOCM_DTR | (rtsHeldOff_ ? TIOCM_RTS : 0), false);
        }
    }

    // With VMIN and VTIME 0 an empty terminal reads as 0 bytes, so 0 means
    // the end only when poll() saw a hang-up.
    bool Read(void* into, std::size_t capacity, std::size_t& got) override {
        got = 0;
        const short events = PollFor(fd_, POLLIN, 0);
        for (;;) {
            const ssize_t count = read(fd_, into, capacity);
            if (count > 0) {
                got = static_cast<std::size_t>(count);
                return true;
            }
            if (count == 0) return (events & POLLHUP) == 0;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            if (errno != EINTR) return false;
        }
    }

    std::size_t Write(const void* bytes, std::size_t count) override {
        for (;;) {
            const ssize_t written = write(fd_, bytes, count);
            if (written >= 0) return static_cast<std::size_t>(written);
            if (errno != EINTR) return 0;
        }
    }

    // A pseudo-terminal whose other side is open but not reading never
    // becomes writable; that is a time-out like any other, not a lost device.
    bool WaitWritable(std::int64_t timeoutMs) override {
        return (PollFor(fd_, POLLOUT, timeoutMs) & (POLLHUP | POLLERR | POLLNVAL)) == 0;
    }

    bool Drain(std::int64_t timeoutMs) override {
        const std::int64_t deadline = SystemTime().NowMs() + timeoutMs;
        auto waitOn = [&](std::int64_t characters) {
            const std::int64_t left = deadline - SystemTime().NowMs();
            if (left <= 0) return false;
            SleepMs(std::clamp<std::int64_t>(characters * characterMicros_ / 1000, 1, left));
            return true;
        };
        while (const std::uint32_t queued = OutputQueued()) {
            if (!waitOn(queued)) return false;
        }
        for (;;) {
            const std::optional<bool> empty = TransmitterEmpty();
            if (!empty) return tcdrain(fd_) == 0;
            if (*empty) return true;
            if (!waitOn(1)) return false;
        }
    }

    Waitable* Input() override { return &input_; }

private:
    void SetModemLine(int line, bool raised) { ioctl(fd_, raised ? TIOCMBIS : TIOCMBIC, &line); }

    // Nothing when the device has no line status register to ask.
    std::optional<bool> TransmitterEmpty() {
        unsigned int status = 0;
        if (ioctl(fd_, TIOCSERGETLSR, &status) != 0) return std::nullopt;
        return (status & TIOCSER_TEMT) != 0;
    }

    int fd_;
    DescriptorWaitable input_;
    std::int64_t characterMicros_ = CharacterMicros(CommState{});
    bool rtsHeldOff_ = true;
};

// A network address in SCALEPOLL_COMn opens a device server's port instead
// of a device.
class PosixSerialPorts final : public SerialPorts {
public:
    std::unique_ptr<SerialPort> Open(int portNumber) override {
        const auto path = PortPath(portNumber);
        if (!path) return nullptr;
        if (IsNetworkAddress(*path)) return OpenNetworkPort(*path);
        const int fd = open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return nullptr;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {  // another program has the port
            close(fd);
            return nullptr;
        }
        // No TIOCEXCL: it outlives this program while any other process
        // holds the terminal open, and then refuses the user's own next open.
        return std::make_unique<PosixSerialPort>(fd);
    }
};

}  // namespace

SerialPorts& SystemSerialPorts() {
    static PosixSerialPorts ports;
    return ports;
}
