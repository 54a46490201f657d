// The operating system's serial functions, as the serial driver uses them.
//
// One SerialPort is one open port; destroying it closes the port. Every call
// stands for one serial function of the platform (named beside it), and like
// those its failures are quiet: a setting the device refuses is simply not in
// force, a failed read delivers nothing, a failed write writes nothing. The
// POSIX implementation (termios) lives in platform/posix/, a device server's
// port behind a network address in platform/network/NetworkPort.h; the driver's unit
// tests use a recording fake.
//
// Why something failed is kept aside, as GetLastError keeps it, for the line
// trace to ask: which device or address a port stands for, why an open
// failed, what the line settings in force are, and what went wrong on an
// open port. The run itself never asks, so its failures stay quiet.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Waitable.h"

// The whole line setting, written at once (SetCommState with a DCB).
struct CommState {
    std::uint32_t baudRate = 9600;
    std::uint8_t byteSize = 8;   // 5 to 8 data bits
    std::uint8_t parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t stopBits = 0;   // 0 one, 1 one and a half, 2 two
    bool dtrEnable = true;       // DTR raised while open; otherwise held low
    bool rtsCtsHandshake = false;  // RTS/CTS flow control; otherwise RTS held off
    bool xonXoff = false;        // XON/XOFF flow control both ways
    std::uint16_t xonLimit = 512;
    std::uint16_t xoffLimit = 1;
    char xonChar = 17;
    char xoffChar = 19;
};

// Read and write time limits in milliseconds (SetCommTimeouts).
struct CommTimeouts {
    std::uint32_t readInterval = 0;
    std::uint32_t readTotalMultiplier = 0;
    std::uint32_t readTotalConstant = 0;
    std::uint32_t writeTotalMultiplier = 0;
    std::uint32_t writeTotalConstant = 0;
};

// How long `characters` take on a line set as `state`: each a start bit,
// the data bits, the parity bit if any, and the stop bits.
inline std::int64_t LineTimeMicros(const CommState& state, std::size_t characters) {
    const std::int64_t halfBits = 2 * (1 + state.byteSize + (state.parity != 0 ? 1 : 0)) + state.stopBits + 2;
    return static_cast<std::int64_t>(characters) * halfBits * 500'000 / std::max<std::uint32_t>(state.baudRate, 1);
}

// Why an open failed, in the system's own words, and where the cause is
// common and known, what to look at.
struct OpenFailure {
    enum class Reason { Permission, Busy, Missing, Refused, NoAnswer, Other };
    Reason reason = Reason::Other;
    std::string message;  // strerror, FormatMessage, or the like
    std::string hint;     // may be empty
};

// A failure on an open port that ends or hinders its use.
struct PortFault {
    enum class Reason { DeviceGone, DrainCutShort, ClosedByServer, WriteFailed, ReadFailed };
    Reason reason = Reason::ReadFailed;
    std::string message;

    bool operator==(const PortFault&) const = default;
};

class SerialPort {
public:
    virtual ~SerialPort() = default;  // CloseHandle

    virtual void SetState(const CommState& state) = 0;                          // SetCommState
    virtual void SetQueueSizes(std::uint16_t input, std::uint16_t output) = 0;  // SetupComm
    virtual void SetTimeouts(const CommTimeouts& timeouts) = 0;                 // SetCommTimeouts
    virtual void Purge(bool input, bool output) = 0;                            // PurgeComm
    // Bytes waiting in the output queue; also clears the port's error state
    // (ClearCommError's cbOutQue).
    virtual std::uint32_t OutputQueued() = 0;
    virtual void SetDtr(bool raised) = 0;  // EscapeCommFunction SETDTR / CLRDTR
    // Reads what has arrived, at most `capacity` bytes, waiting no longer than
    // the read time-outs allow. False when the read failed (ReadFile).
    virtual bool Read(void* into, std::size_t capacity, std::size_t& got) = 0;
    // Returns how many bytes the platform took; 0 on failure (WriteFile).
    virtual std::size_t Write(const void* bytes, std::size_t count) = 0;
    // Waits, at most timeoutMs, until the output queue can take bytes again,
    // so that a sender facing a full queue does not spin the processor.
    // False when the line will never take bytes again (the device is gone).
    virtual bool WaitWritable(std::int64_t timeoutMs) = 0;
    // Waits, at most timeoutMs, until every byte written has left the port,
    // its last stop bit included (the synchronous WriteFile's return, or
    // FlushFileBuffers). False when the time ran out first.
    virtual bool Drain(std::int64_t timeoutMs) = 0;
    // What the event loop can wait on for bytes to arrive; nullptr when the
    // port can only be read at every tick. Lives as long as the port.
    virtual Waitable* Input() = 0;

    // The line settings the device has now, read back from it (GetCommState);
    // nothing when the port cannot tell (a device server's).
    virtual std::optional<CommState> StateInForce() { return std::nullopt; }
    // The last fault a call met, handed out once; nothing when there was none.
    virtual std::optional<PortFault> TakeFault() { return std::nullopt; }
};

class SerialPorts {
public:
    virtual ~SerialPorts() = default;
    // Opens port 1 to 4 ("COM1".."COM4") exclusively, without waiting for a
    // modem; nullptr when it is missing or held by another program (CreateFileA).
    virtual std::unique_ptr<SerialPort> Open(int portNumber) = 0;

    // What port 1 to 4 stands for: a device path, a network address or
    // another port's name, as the platform resolves it.
    virtual std::string Describe(int portNumber) { return "COM" + std::to_string(portNumber); }
    // Why the last Open returned nullptr.
    virtual OpenFailure LastOpenFailure() { return {}; }
};

// The machine's own serial ports.
SerialPorts& SystemSerialPorts();
