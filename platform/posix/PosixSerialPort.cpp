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
// caller's time limit. Each driver knows when its bytes have left: the 8250
// reads the UART's line status register live, a USB adapter's driver asks the
// adapter. The line status that TIOCSERGETLSR reports is not asked at all: a
// USB driver (ftdi_sio) answers it from a copy of the adapter's last status
// report, which may say "empty" from before the frame reached the chip, or
// never say it.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "platform/network/NetworkPort.h"
#include "platform/SerialPort.h"
#include "platform/posix/BoundedCall.h"
#include "platform/posix/OpenFailures.h"
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
            if (count == 0) {
                if ((events & POLLHUP) == 0) return true;
                Note(PortFault::Reason::DeviceGone, "the terminal hung up");
                return false;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            if (errno != EINTR) {
                NoteError(errno, PortFault::Reason::ReadFailed);
                return false;
            }
        }
    }

    std::size_t Write(const void* bytes, std::size_t count) override {
        for (;;) {
            const ssize_t written = write(fd_, bytes, count);
            if (written >= 0) return static_cast<std::size_t>(written);
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            if (errno != EINTR) {
                NoteError(errno, PortFault::Reason::WriteFailed);
                return 0;
            }
        }
    }

    // A pseudo-terminal whose other side is open but not reading never
    // becomes writable; that is a time-out like any other, not a lost device.
    bool WaitWritable(std::int64_t timeoutMs) override {
        if ((PollFor(fd_, POLLOUT, timeoutMs) & (POLLHUP | POLLERR | POLLNVAL)) == 0) return true;
        Note(PortFault::Reason::DeviceGone, "the terminal hung up");
        return false;
    }

    // A drain cut short at its limit ends in EINTR from the timer signal; one
    // left no time at all by its send never starts.
    bool Drain(std::int64_t timeoutMs) override {
        int error = 0;
        const bool drained = CallWithin(timeoutMs, [this, &error] {
            const int result = tcdrain(fd_);
            if (result != 0) error = errno;
            return result;
        });
        if (drained) return true;
        if (error != 0 && error != EINTR) {
            NoteError(error, PortFault::Reason::WriteFailed);
            return false;
        }
        const std::string stalled = "the line is stalled (held by flow control?)";
        Note(PortFault::Reason::DrainCutShort,
             error == EINTR ? std::string(std::strerror(EINTR)) + ": the frame had not left the port within " +
                                  std::to_string(timeoutMs) + " ms, " + stalled
                            : "the send's time limit ran out before the frame could leave the port, " + stalled);
        return false;
    }

    Waitable* Input() override { return &input_; }

    std::optional<CommState> StateInForce() override {
        termios current{};
        if (tcgetattr(fd_, &current) != 0) return std::nullopt;
        return SettingsInForce(current);
    }

    std::optional<PortFault> TakeFault() override { return std::exchange(fault_, std::nullopt); }

private:
    void SetModemLine(int line, bool raised) { ioctl(fd_, raised ? TIOCMBIS : TIOCMBIC, &line); }

    void Note(PortFault::Reason reason, std::string message) { fault_ = PortFault{reason, std::move(message)}; }
    // EIO, ENODEV and ENXIO are what a terminal whose device went away answers.
    void NoteError(int error, PortFault::Reason otherwise) {
        const bool gone = error == EIO || error == ENODEV || error == ENXIO;
        Note(gone ? PortFault::Reason::DeviceGone : otherwise, std::strerror(error));
    }

    int fd_;
    DescriptorWaitable input_;
    bool rtsHeldOff_ = true;
    std::optional<PortFault> fault_;
};

// A network address in SCALEPOLL_COMn opens a device server's port instead
// of a device.
class PosixSerialPorts final : public SerialPorts {
public:
    std::unique_ptr<SerialPort> Open(int portNumber) override {
        lastFailure_ = {};
        const auto path = PortPath(portNumber);
        if (!path) {
            lastFailure_.message = "no such port";
            return nullptr;
        }
        if (IsNetworkAddress(*path)) return OpenNetworkPort(*path, lastFailure_);
        const int fd = open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            lastFailure_ = DeviceOpenFailure(*path, errno);
            return nullptr;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {  // another program has the port
            lastFailure_ = LockFailure(fd, errno);
            close(fd);
            return nullptr;
        }
        // No TIOCEXCL: the flag belongs to the terminal, not to this
        // descriptor, so it would outlive a run that is killed while any other
        // process holds the terminal, and lock every later ordinary user out.
        return std::make_unique<PosixSerialPort>(fd);
    }

    std::string Describe(int portNumber) override {
        return PortPath(portNumber).value_or("COM" + std::to_string(portNumber));
    }
    OpenFailure LastOpenFailure() override { return lastFailure_; }

private:
    OpenFailure lastFailure_;
};

}  // namespace

SerialPorts& SystemSerialPorts() {
    static PosixSerialPorts ports;
    return ports;
}
