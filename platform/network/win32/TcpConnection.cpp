// TCP connections over Winsock, for the network ports.
//
// The socket is non-blocking from the start: connect() returns at once and
// select() bounds the wait for the server's answer (a refusal shows in the
// exception set). Once connected, the exception set means something else:
// urgent data has come, as in a Telnet Synch, which is no failure. So only a
// connect looks at it; a connection that has failed shows as writable and
// its send fails. SO_OOBINLINE keeps an urgent byte in the stream, where the
// Telnet decoder reads it in its place. TCP_NODELAY sends a short frame at
// once. Once connected, the socket's arrivals and its close set an event
// (WSAEventSelect), which the event loop waits on; each receive clears it
// first, and Winsock sets it again while bytes are left.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <string>

#include "platform/network/NetworkPort.h"
#include "platform/network/SocketAddress.h"
#include "platform/win32/SystemMessage.h"

namespace {

// Winsock is started once, on the first connect, and left to the process's end.
bool WinsockStarted() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

int ToInt(std::size_t count) { return static_cast<int>(std::min<std::size_t>(count, INT_MAX)); }

timeval Limit(std::int64_t timeoutMs) {
    const std::int64_t ms = std::clamp<std::int64_t>(timeoutMs, 0, INT_MAX);
    return timeval{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000 * 1000)};
}

// Why a connect failed: refused, not answered, or another reason.
OpenFailure ConnectFailure(int error) {
    OpenFailure failure{OpenFailure::Reason::Other, SystemMessage(static_cast<DWORD>(error)), ""};
    if (error == WSAECONNREFUSED) {
        failure.reason = OpenFailure::Reason::Refused;
        failure.hint = "no device server listens at this address";
    } else if (error == WSAETIMEDOUT || error == WSAEHOSTUNREACH || error == WSAENETUNREACH) {
        failure.reason = OpenFailure::Reason::NoAnswer;
        failure.hint = "the device server did not answer: is it on and reachable?";
    }
    return failure;
}

// Waits at most timeoutMs until a connect under way is done; true when it
// succeeded in time (a refused one shows in the exception set), otherwise
// `failure` says why.
bool WaitForConnect(SOCKET socket, std::int64_t timeoutMs, OpenFailure& failure) {
    fd_set writable;
    fd_set failing;
    FD_ZERO(&writable);
    FD_ZERO(&failing);
    FD_SET(socket, &writable);
    FD_SET(socket, &failing);
    timeval limit = Limit(timeoutMs);
    const int ready = select(0, nullptr, &writable, &failing, &limit);
    if (ready > 0 && FD_ISSET(socket, &writable) && !FD_ISSET(socket, &failing)) return true;
    if (ready == 0) {
        failure = ConnectFailure(WSAETIMEDOUT);
        failure.message = "no answer within " + std::to_string(timeoutMs) + " ms";
        return false;
    }
    int error = 0;
    int length = sizeof error;
    getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    failure = ConnectFailure(error != 0 ? error : WSAGetLastError());
    return false;
}

// Waits at most timeoutMs until a connected socket can be written to; false
// only when select() itself failed (the socket cannot be waited on).
bool WaitForWrite(SOCKET socket, std::int64_t timeoutMs) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket, &writable);
    timeval limit = Limit(timeoutMs);
    return select(0, nullptr, &writable, nullptr, &limit) != SOCKET_ERROR;
}

class WinsockConnection final : public TcpConnection {
public:
    explicit WinsockConnection(SOCKET socket) : socket_(socket), arrival_(WSACreateEvent()), input_(arrival_) {}
    ~WinsockConnection() override {
        closesocket(socket_);
        if (arrival_ != WSA_INVALID_EVENT) WSACloseEvent(arrival_);
    }
    WinsockConnection(const WinsockConnection&) = delete;
    WinsockConnection& operator=(const WinsockConnection&) = delete;

    std::optional<std::size_t> Send(const std::uint8_t* bytes, std::size_t count) override {
        const int sent = send(socket_, reinterpret_cast<const char*>(bytes), ToInt(count), 0);
        if (sent != SOCKET_ERROR) return static_cast<std::size_t>(sent);
        if (WSAGetLastError() == WSAEWOULDBLOCK) return 0;
        return Failed(WSAGetLastError(), PortFault::Reason::WriteFailed);
    }

    std::optional<std::size_t> Receive(std::uint8_t* into, std::size_t capacity) override {
        WSANETWORKEVENTS seen{};
        WSAEnumNetworkEvents(socket_, arrival_, &seen);
        const int count = recv(socket_, reinterpret_cast<char*>(into), ToInt(capacity), 0);
        if (count > 0) return static_cast<std::size_t>(count);
        if (count == 0) {
            failure_ = {PortFault::Reason::ClosedByServer, "the server closed the connection"};
            return std::nullopt;
        }
        if (WSAGetLastError() == WSAEWOULDBLOCK) return 0;
        return Failed(WSAGetLastError(), PortFault::Reason::ReadFailed);
    }

    bool WaitWritable(std::int64_t timeoutMs) override {
        if (WaitForWrite(socket_, timeoutMs)) return true;
        Failed(WSAGetLastError(), PortFault::Reason::WriteFailed);
        return false;
    }

    // Without an event the connection is read at every tick.
    Waitable* Input() override { return watched_ ? &input_ : nullptr; }
    PortFault Failure() override { return failure_; }

    // From here on arrivals and the server's close set the event.
    void WatchArrival() {
        watched_ = arrival_ != WSA_INVALID_EVENT && WSAEventSelect(socket_, arrival_, FD_READ | FD_CLOSE) == 0;
    }

private:
    // A reset connection was closed by the server as much as an orderly end.
    std::nullopt_t Failed(int error, PortFault::Reason otherwise) {
        const bool closed = error == WSAECONNRESET || error == WSAECONNABORTED;
        failure_ = {closed ? PortFault::Reason::ClosedByServer : otherwise, SystemMessage(static_cast<DWORD>(error))};
        return std::nullopt;
    }

    SOCKET socket_;
    WSAEVENT arrival_;
    HandleWaitable input_;
    bool watched_ = false;
    PortFault failure_{PortFault::Reason::ClosedByServer, "the connection ended"};
};

}  // namespace

std::unique_ptr<TcpConnection> ConnectTcp(const NetworkAddress& address, std::int64_t timeoutMs,
                                          OpenFailure& failure) {
    if (!WinsockStarted()) {
        failure = {OpenFailure::Reason::Other, "Winsock could not be started", ""};
        return nullptr;
    }
    const std::optional<SocketAddress> target = ToSocketAddress(address);
    if (!target) {
        failure = {OpenFailure::Reason::Other, "the host is not a numeric address", ""};
        return nullptr;
    }
    const SOCKET socket = ::socket(target->storage.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) {
        failure = ConnectFailure(WSAGetLastError());
        return nullptr;
    }
    auto connection = std::make_unique<WinsockConnection>(socket);
    u_long nonBlocking = 1;
    const BOOL on = TRUE;
    if (ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) {
        failure = ConnectFailure(WSAGetLastError());
        return nullptr;
    }
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    setsockopt(socket, SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char*>(&on), sizeof on);
    if (connect(socket, target->Get(), target->length) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            failure = ConnectFailure(WSAGetLastError());
            return nullptr;
        }
        if (!WaitForConnect(socket, timeoutMs, failure)) return nullptr;
    }
    connection->WatchArrival();
    return connection;
}
