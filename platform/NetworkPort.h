// A serial port behind a network address (platform/NetworkAddress.h): the
// line of a serial device server, reached over one TCP connection.
//
// The port is the same on every platform; only the connection underneath is
// the platform's own (POSIX sockets in platform/posix/, Winsock in
// platform/win32/). Over rfc2217:// the line settings, DTR and purges go to
// the server as Telnet commands in the data stream, and what the server
// sends is read through a TelnetDecoder; over socket:// the bytes pass as
// they are and those calls do nothing. A connection that fails or that the
// server closes is a device gone: reads fail, writes take nothing, and
// WaitWritable says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/NetworkAddress.h"
#include "platform/Rfc2217.h"
#include "platform/SerialPort.h"

// One connected, non-blocking TCP connection.
class TcpConnection {
public:
    virtual ~TcpConnection() = default;
    // How many bytes the connection took (0 when its buffer is full); nothing
    // once the connection is gone.
    virtual std::optional<std::size_t> Send(const std::uint8_t* bytes, std::size_t count) = 0;
    // What has arrived, at most `capacity` bytes (0 when nothing has);
    // nothing once the server closed the connection or it failed.
    virtual std::optional<std::size_t> Receive(std::uint8_t* into, std::size_t capacity) = 0;
    // Waits at most timeoutMs until Send can take bytes; false when the
    // connection is gone.
    virtual bool WaitWritable(std::int64_t timeoutMs) = 0;
    // As SerialPort::Input().
    virtual Waitable* Input() = 0;
};

// The platform's connect: nullptr when the host is not a well-formed number,
// or the server refuses or does not answer within timeoutMs.
std::unique_ptr<TcpConnection> ConnectTcp(const NetworkAddress& address, std::int64_t timeoutMs);

// The port behind `address`; nullptr when it is not an address this tool can
// connect to, or its server cannot be reached within a second: connecting
// never holds up a run for longer than that.
std::unique_ptr<SerialPort> OpenNetworkPort(std::string_view address);

class NetworkPort final : public SerialPort {
public:
    NetworkPort(std::unique_ptr<TcpConnection> connection, NetworkAddress::Protocol protocol);

    void SetState(const CommState& state) override;
    void SetQueueSizes(std::uint16_t, std::uint16_t) override {}
    void SetTimeouts(const CommTimeouts&) override {}
    void Purge(bool input, bool output) override;
    std::uint32_t OutputQueued() override { return static_cast<std::uint32_t>(unsent_.size()); }
    void SetDtr(bool raised) override;
    bool Read(void* into, std::size_t capacity, std::size_t& got) override;
    std::size_t Write(const void* bytes, std::size_t count) override;
    bool WaitWritable(std::int64_t timeoutMs) override;
    bool Drain(std::int64_t timeoutMs) override;
    Waitable* Input() override { return connection_->Input(); }

private:
    // Appends bytes for the server behind what is still unsent, and sends
    // as much as the connection takes.
    void Queue(const std::string& bytes);
    void SendUnsent();

    std::unique_ptr<TcpConnection> connection_;
    bool telnet_;
    TelnetDecoder decoder_;
    std::string unsent_;  // bytes for the server, in order, that the connection has not taken yet
    bool gone_ = false;
};
