// TCP connections over POSIX sockets, for the network ports.
//
// The socket is non-blocking from the start: connect() returns at once and
// poll() bounds the wait for the server's answer. Sends use MSG_NOSIGNAL, so
// a connection the server has closed fails the send instead of raising
// SIGPIPE, and TCP_NODELAY, so a short frame goes out at once instead of
// waiting for the previous one's acknowledgement. SO_OOBINLINE keeps an
// urgent byte (the DM of a Telnet Synch) in the stream, where the Telnet
// decoder reads it in its place instead of finding its IAC alone.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/network/NetworkPort.h"
#include "platform/network/SocketAddress.h"
#include "platform/posix/Poll.h"

namespace {

class PosixTcpConnection final : public TcpConnection {
public:
    explicit PosixTcpConnection(int fd) : fd_(fd), input_(fd) {}
    ~PosixTcpConnection() override { close(fd_); }
    PosixTcpConnection(const PosixTcpConnection&) = delete;
    PosixTcpConnection& operator=(const PosixTcpConnection&) = delete;

    std::optional<std::size_t> Send(const std::uint8_t* bytes, std::size_t count) override {
        for (;;) {
            const ssize_t sent = send(fd_, bytes, count, MSG_NOSIGNAL);
            if (sent >= 0) return static_cast<std::size_t>(sent);
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            if (errno != EINTR) return Failed(errno, PortFault::Reason::WriteFailed);
        }
    }

    std::optional<std::size_t> Receive(std::uint8_t* into, std::size_t capacity) override {
        for (;;) {
            const ssize_t count = recv(fd_, into, capacity, 0);
            if (count > 0) return static_cast<std::size_t>(count);
            if (count == 0) {
                failure_ = {PortFault::Reason::ClosedByServer, "the server closed the connection"};
                return std::nullopt;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            if (errno != EINTR) return Failed(errno, PortFault::Reason::ReadFailed);
        }
    }

    bool WaitWritable(std::int64_t timeoutMs) override {
        if ((PollFor(fd_, POLLOUT, timeoutMs) & (POLLHUP | POLLERR | POLLNVAL)) == 0) return true;
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) Failed(error, PortFault::Reason::WriteFailed);
        else failure_ = {PortFault::Reason::ClosedByServer, "the server closed the connection"};
        return false;
    }

    Waitable* Input() override { return &input_; }
    PortFault Failure() override { return failure_; }

private:
    // A reset connection was closed by the server as much as an orderly end.
    std::nullopt_t Failed(int error, PortFault::Reason otherwise) {
        const bool closed = error == ECONNRESET || error == EPIPE;
        failure_ = {closed ? PortFault::Reason::ClosedByServer : otherwise, std::strerror(error)};
        return std::nullopt;
    }

    int fd_;
    DescriptorWaitable input_;
    PortFault failure_{PortFault::Reason::ClosedByServer, "the connection ended"};
};

// Why a connect failed: refused, not answered, or another reason.
OpenFailure ConnectFailure(int error) {
    OpenFailure failure;
    failure.message = std::strerror(error);
    if (error == ECONNREFUSED) {
        failure.reason = OpenFailure::Reason::Refused;
        failure.hint = "no device server listens at this address";
    } else if (error == ETIMEDOUT || error == EHOSTUNREACH || error == ENETUNREACH) {
        failure.reason = OpenFailure::Reason::NoAnswer;
        failure.hint = "the device server did not answer: is it on and reachable?";
    }
    return failure;
}

// Whether the connect under way completes within timeoutMs; `failure`
// says why not.
bool Connected(int fd, std::int64_t timeoutMs, OpenFailure& failure) {
    if ((PollFor(fd, POLLOUT, timeoutMs) & POLLOUT) == 0) {
        failure = ConnectFailure(ETIMEDOUT);
        failure.message = "no answer within " + std::to_string(timeoutMs) + " ms";
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error == 0) return true;
    failure = ConnectFailure(error);
    return false;
}

}  // namespace

std::unique_ptr<TcpConnection> ConnectTcp(const NetworkAddress& address, std::int64_t timeoutMs,
                                          OpenFailure& failure) {
    const std::optional<SocketAddress> target = ToSocketAddress(address);
    if (!target) {
        failure = {OpenFailure::Reason::Other, "the host is not a numeric address", ""};
        return nullptr;
    }
    const int fd = socket(target->storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failure = ConnectFailure(errno);
        return nullptr;
    }
    auto connection = std::make_unique<PosixTcpConnection>(fd);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
    if (connect(fd, target->Get(), static_cast<socklen_t>(target->length)) == 0) return connection;
    if (errno != EINPROGRESS) {
        failure = ConnectFailure(errno);
        return nullptr;
    }
    if (!Connected(fd, timeoutMs, failure)) return nullptr;
    return connection;
}
