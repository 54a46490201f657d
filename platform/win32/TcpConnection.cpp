// TCP connections over Winsock, for the network ports.
//
// The socket is non-blocking from the start: connect() returns at once and
// select() bounds the wait for the server's answer (a refusal shows in the
// exception set). TCP_NODELAY sends a short frame at once. Reads stay polled
// on Windows, as for the machine's own ports, so there is no input to wait on.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>

#include "platform/NetworkPort.h"
#include "platform/SocketAddress.h"

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

// Waits at most timeoutMs until the socket can be written to; false when the
// time ran out. `failed` tells whether select() or the socket reported an error.
bool WaitForWrite(SOCKET socket, std::int64_t timeoutMs, bool& failed) {
    fd_set writable;
    fd_set failing;
    FD_ZERO(&writable);
    FD_ZERO(&failing);
    FD_SET(socket, &writable);
    FD_SET(socket, &failing);
    const std::int64_t ms = std::clamp<std::int64_t>(timeoutMs, 0, INT_MAX);
    timeval limit{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000 * 1000)};
    const int ready = select(0, nullptr, &writable, &failing, &limit);
    failed = ready == SOCKET_ERROR || FD_ISSET(socket, &failing);
    return ready > 0 && FD_ISSET(socket, &writable);
}

class WinsockConnection final : public TcpConnection {
public:
    explicit WinsockConnection(SOCKET socket) : socket_(socket) {}
    ~WinsockConnection() override { closesocket(socket_); }
    WinsockConnection(const WinsockConnection&) = delete;
    WinsockConnection& operator=(const WinsockConnection&) = delete;

    std::optional<std::size_t> Send(const std::uint8_t* bytes, std::size_t count) override {
        const int sent = send(socket_, reinterpret_cast<const char*>(bytes), ToInt(count), 0);
        if (sent != SOCKET_ERROR) return static_cast<std::size_t>(sent);
        if (WSAGetLastError() == WSAEWOULDBLOCK) return 0;
        return std::nullopt;
    }

    std::optional<std::size_t> Receive(std::uint8_t* into, std::size_t capacity) override {
        const int count = recv(socket_, reinterpret_cast<char*>(into), ToInt(capacity), 0);
        if (count > 0) return static_cast<std::size_t>(count);
        if (count == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return 0;
        return std::nullopt;  // closed by the server, or failed
    }

    bool WaitWritable(std::int64_t timeoutMs) override {
        bool failed = false;
        WaitForWrite(socket_, timeoutMs, failed);
        return !failed;
    }

    Waitable* Input() override { return nullptr; }

private:
    SOCKET socket_;
};

}  // namespace

std::unique_ptr<TcpConnection> ConnectTcp(const NetworkAddress& address, std::int64_t timeoutMs) {
    if (!WinsockStarted()) return nullptr;
    const std::optional<SocketAddress> target = ToSocketAddress(address);
    if (!target) return nullptr;
    const SOCKET socket = ::socket(target->storage.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) return nullptr;
    auto connection = std::make_unique<WinsockConnection>(socket);
    u_long nonBlocking = 1;
    const BOOL on = TRUE;
    if (ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) return nullptr;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    if (connect(socket, target->Get(), target->length) == 0) return connection;
    bool failed = false;
    if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitForWrite(socket, timeoutMs, failed) || failed) return nullptr;
    return connection;
}
