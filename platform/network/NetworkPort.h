// A serial port behind a network address (platform/network/NetworkAddress.h): the
// line of a serial device server, reached over one TCP connection.
//
// The port is the same on every platform; only the connection underneath is
// the platform's own (POSIX sockets in platform/posix/, Winsock in
// platform/win32/). Over rfc2217:// the line settings, DTR and purges go to
// the server as Telnet commands in the data stream, and what the server
// sends is read through a TelnetDecoder; over socket:// the bytes pass as
// they are and those calls do nothing. A connection that fails or that the
// server closes is a device gone: reads fail, writes take nothing, and
// WaitWritable says so. So is a server that stops reading: more than
// kUnsentLimit bytes waiting for it end the connection's use.
//
// Purging the input drops what has arrived, and everything that arrives
// before the next block is written. A device server may hold line data from
// before the connection, and bytes it sent before that block can still be on
// the way, so dropping goes on after the block too: over rfc2217:// until
// the server acknowledges the purge, over socket://, which has no such
// marker, for kPurgeGuardMs; either way no longer than kPurgeGuardMs after
// the block, and never past the next block written.
//
// Over rfc2217:// Drain waits, after the connection has taken the block,
// for as long as its characters take on the line as last set: the protocol
// tells nothing of when the server's UART has sent them, so a DTR command
// that follows goes no earlier than the block can have left the line. The
// serial driver waits a block's line time too, but counted from the write;
// only the port sees the connection take the block's tail later than that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/network/NetworkAddress.h"
#include "platform/network/Rfc2217.h"
#include "platform/SerialPort.h"
#include "platform/TimeSource.h"

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
    // The connect's own bound: a connection made within it has a round trip
    // shorter than this, so bytes in flight when a block is written arrive
    // within it.
    static constexpr std::int64_t kPurgeGuardMs = 1000;
    static constexpr std::size_t kUnsentLimit = 64 * 1024;

    NetworkPort(std::unique_ptr<TcpConnection> connection, NetworkAddress::Protocol protocol, TimeSource& time);

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
    // Bytes from the connection; nothing once it is gone.
    std::optional<std::size_t> Arrived(std::uint8_t* into, std::size_t capacity);
    // How many of `count` received bytes are data, decoded in place.
    std::size_t Decoded(std::uint8_t* bytes, std::size_t count);
    void DropArrived();
    // Called as a block is written: where the dropping after a purge stands.
    void PurgePointPassed();
    void StopDropping();
    bool Dropping() const { return purgePending_ || guardEndMs_.has_value(); }

    std::unique_ptr<TcpConnection> connection_;
    bool telnet_;
    TimeSource& time_;
    TelnetDecoder decoder_;
    std::string unsent_;  // bytes for the server, in order, that the connection has not taken yet
    bool gone_ = false;
    CommState line_;                  // as last set, for the line time of a block
    std::int64_t blockLineMs_ = 0;    // the line time of the last block written
    std::int64_t lineFreeMs_ = 0;     // when the last block has left the server's line
    bool purgePending_ = false;       // input purged, no block written since (within the guard)
    std::optional<std::int64_t> guardEndMs_;  // dropping after a block ends then at the latest
};
