#include "tools/sim/LineEnd.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>
#include <utility>

#include "platform/posix/Termios.h"

namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

// The same raw line, 8 data bits without parity, as the tool sets on its end.
termios RawMode(int baud) {
    CommState line;
    line.baudRate = static_cast<std::uint32_t>(baud);
    return LineSettings(termios{}, line);
}

void KeepFromCommand(int fd) { fcntl(fd, F_SETFD, FD_CLOEXEC); }

void MakeNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

LineEnd LineEnd::PseudoTerminal() {
    const termios raw = RawMode(9600);
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) Fail("cannot create a pseudo-terminal");
    tcsetattr(master, TCSANOW, &raw);
    KeepFromCommand(master);
    KeepFromCommand(slave);
    MakeNonBlocking(master);
    char path[PATH_MAX] = {};
    if (ttyname_r(slave, path, sizeof path) != 0) Fail("cannot name the pseudo-terminal");
    return LineEnd(master, slave, path);
}

LineEnd LineEnd::Device(const std::string& path, int baud) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) Fail("cannot open " + path);
    const termios raw = RawMode(baud);
    if (tcsetattr(fd, TCSANOW, &raw) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        Fail("cannot set " + path + " to raw mode");
    }
    return LineEnd(fd, -1, path);
}

LineEnd::LineEnd(LineEnd&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      otherSideFd_(std::exchange(other.otherSideFd_, -1)),
      path_(std::move(other.path_)) {}

LineEnd::~LineEnd() { HangUp(); }

void LineEnd::HangUp() {
    if (otherSideFd_ >= 0) close(std::exchange(otherSideFd_, -1));
    if (fd_ >= 0) close(std::exchange(fd_, -1));
}

void LineEnd::FillInbound() {
    if (otherSideFd_ < 0) return;
    MakeNonBlocking(otherSideFd_);
    const char block[4096] = {};
    // A block the queue refuses may leave room for a smaller one, and the
    // kernel moves bytes along the queue in the background, so room may show
    // up again shortly after: fill with ever smaller blocks until none does.
    for (pollfd room{otherSideFd_, POLLOUT, 0}; poll(&room, 1, 50) == 1 && (room.revents & POLLOUT) != 0;) {
        for (std::size_t size = sizeof block; size > 0; size /= 2) {
            while (write(otherSideFd_, block, size) > 0) {
            }
        }
    }
}
