#include "tools/sim/tests/LineClient.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "poll/Frames.h"

namespace {

void SendFilled(int fd, const std::string& frame) {
    const std::string fill(3, '\xFF');
    const std::string bytes = fill + frame + fill;
    [[maybe_unused]] const ssize_t written = write(fd, bytes.data(), bytes.size());
}

}  // namespace

int OpenLikeTheTool(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    termios raw{};
    cfmakeraw(&raw);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0 || tcsetattr(fd, TCSANOW, &raw) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::optional<std::string> AskStation(int fd, int station, int sequence, int timeoutMs) {
    SendFilled(fd, TriggerFrame(sequence));
    SendFilled(fd, ReadRequest(station));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string received;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd readable{fd, POLLIN, 0};
        poll(&readable, 1, 10);
        char bytes[256];
        const ssize_t count = read(fd, bytes, sizeof bytes);
        if (count > 0) received.append(bytes, static_cast<std::size_t>(count));
        if (HaeSanoma(received)) return received;
    }
    return std::nullopt;
}
