// The machine's serial ports as terminal devices (termios).
//
// A port is opened without waiting for a modem and stays non-blocking, so no
// read or write can hold up the event loop; the only waits are poll() calls
// and the driver's drain, each bounded by the caller's time limits. Exclusive
// use rests on flock(): the lock is taken before any line setting is touched,
// and goes with the file descriptor when the port is closed, however the
// process ends. Modem line calls a device cannot do
// (a pseudo-terminal has none) fail quietly.
//
// Draining is the driver's own wait until sent (tcdrain()), cut short at the
// caller's time limit. The 8250 reads the UART's line status register live,
// ftdi_sio and cp210x ask their adapter; ch341, pl2303 and cdc-acm end the
// wait once the transfer has reached the chip, with the frame still in it
// (the serial driver's wait for the line time covers that). The line status that TIOCSERGETLSR reports is not asked at all: a
// USB driver (ftdi_sio) answers it from a copy of the adapter's last status
// report, which may say "empty" from before the frame reached the chip, or
// never say it.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/network/NetworkPort.h"
#include "platform/SerialPort.h"
#include "platform/posix/BoundedCall.h"
#include "platform/posix/Poll.h"
#include "platform/posix/Termios.h"

namespace {

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

    // Any other open of the port raises DTR and RTS (the lock refuses only a
    // second lock, not the open), so a second program trying the port can leave RTS up
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
        return CallWithin(timeoutMs, [this] { return tcdrain(fd_); });
    }

    Waitable* Input() override { return &input_; }

private:
    void SetModemLine(int line, bool raised) { ioctl(fd_, raised ? TIOCMBIS : TIOCMBIC, &line); }

    int fd_;
    DescriptorWaitable input_;
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
        // No TIOCEXCL: the flag belongs to the terminal, not to this
        // descriptor, so it would outlive a run that is killed while any other
        // process holds the terminal, and lock every later ordinary user out.
        return std::make_unique<PosixSerialPort>(fd);
    }
};

}  // namespace

SerialPorts& SystemSerialPorts() {
    static PosixSerialPorts ports;
    return ports;
}
