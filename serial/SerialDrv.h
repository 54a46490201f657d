// SerialDrv: TSerialDriver, the one owner of a serial port.
//
// It opens the port by number with a set of line settings, writes blocks under
// a time limit, switches DTR, and delivers received bytes through
// OnReceiveData. Reception is polled: while the port is open, a read timer on
// the event loop ticks every ComPortPollingDelay ms, reads whatever has
// arrived and hands it to the event. Ticks at which nothing has arrived are
// skipped without waking, where the port lets the loop wait on it; the gap
// between a reply and the next request stays that of the polled read, which
// stations on a shared RS-485 line need to release it. The driver has no thread of its own,
// shows nothing and raises nothing: every failure ends in a return value or
// in silence.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/SerialPort.h"

enum TPortNumber : std::uint8_t { pnCOM1, pnCOM2, pnCOM3, pnCOM4 };
enum TPortBaudRate : std::uint8_t {
    br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400, br56000, br57600, br115200
};
enum TPortDataBits : std::uint8_t { db5BITS, db6BITS, db7BITS, db8BITS };
enum TPortStopBits : std::uint8_t { sb1BITS, sb1HALFBITS, sb2BITS };
enum TPortParity : std::uint8_t { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum TPortHwHandshaking : std::uint8_t { hhNONE, hhRTSCTS };
enum TPortSwHandshaking : std::uint8_t { shNONE, shXONXOFF };

class TSerialDriver;
// The received bytes are valid only until the handler returns.
using TSerialReceiveDataEvent =
    std::function<void(TSerialDriver* Sender, const void* DataPtr, std::int32_t DataSize)>;

class TSerialDriver {
public:
    TSerialDriver(EventLoop& loop, SerialPorts& ports);
    ~TSerialDriver();
    TSerialDriver(const TSerialDriver&) = delete;
    TSerialDriver& operator=(const TSerialDriver&) = delete;

    bool OpenPort();
    void ClosePort();
    bool IsPortOpen() const { return port_ != nullptr; }
    void ApplyLineSettings();
    void PurgeBuffers(bool input, bool output);
    std::uint16_t FreeOutputSpace();
    // The count written, or minus that count when OutputTimeout ended the send.
    std::int32_t SendBlock(const void* bytes, std::int32_t count);
    // Waits until what SendBlock wrote has left the wire, so that a caller
    // holding DTR low for a frame keeps it low for the whole frame: until the
    // port's own wait until sent has ended, and until the line time of every
    // byte at the settings in force, counted from when it was handed to the
    // port, plus an allowance for a USB adapter's transfer; with a handshake
    // on, also until a FIFO's worth of characters after the port's wait. Never longer than what is left of
    // OutputTimeout since the send last made progress. False when the time
    // ran out or the port is closed.
    bool DrainOutput();
    void SetDTR(bool raised);

    TPortNumber ComPort() const { return comPort_; }
    void SetComPort(TPortNumber value);
    TPortBaudRate ComPortSpeed() const { return speed_; }
    void SetComPortSpeed(TPortBaudRate value);
    TPortDataBits ComPortDataBits() const { return dataBits_; }
    void SetComPortDataBits(TPortDataBits value);
    TPortStopBits ComPortStopBits() const { return stopBits_; }
    void SetComPortStopBits(TPortStopBits value);
    TPortParity ComPortParity() const { return parity_; }
    void SetComPortParity(TPortParity value);
    TPortHwHandshaking ComPortHwHandshaking() const { return hwHandshaking_; }
    void SetComPortHwHandshaking(TPortHwHandshaking value);
    TPortSwHandshaking ComPortSwHandshaking() const { return swHandshaking_; }
    void SetComPortSwHandshaking(TPortSwHandshaking value);
    std::uint16_t ComPortInBufSize() const { return inBufSize_; }
    void SetComPortInBufSize(std::uint16_t value);
    std::uint16_t ComPortOutBufSize() const { return outBufSize_; }
    void SetComPortOutBufSize(std::uint16_t value);
    std::uint16_t ComPortPollingDelay() const { return pollingDelay_; }
    void SetComPortPollingDelay(std::uint16_t value);
    bool EnableDTROnOpen = true;
    std::uint16_t OutputTimeout = 4000;
    TSerialReceiveDataEvent OnReceiveData;

private:
    void ReadTimerTick();
    CommState LineState() const;
    CommState LineInForce(const CommState& asked) const;
    void NoteHandedOver(std::int64_t atMs, std::int32_t count);
    template <typename T>
    void SetLineSetting(T& setting, T value);

    EventLoop& loop_;
    SerialPorts& ports_;
    std::unique_ptr<SerialPort> port_;
    TPortNumber comPort_ = pnCOM2;
    TPortBaudRate speed_ = br9600;
    TPortDataBits dataBits_ = db8BITS;
    TPortStopBits stopBits_ = sb1BITS;
    TPortParity parity_ = ptNONE;
    TPortHwHandshaking hwHandshaking_ = hhNONE;
    TPortSwHandshaking swHandshaking_ = shNONE;
    std::uint16_t inBufSize_ = 2048;
    std::uint16_t outBufSize_ = 2048;
    std::uint16_t pollingDelay_ = 50;
    IntervalTimer readTimer_;
    std::vector<std::uint8_t> receiveBuffer_;
    std::int64_t lastSendProgressMs_ = 0;
    // The earliest the bytes written so far can have left the wire, in
    // microseconds of the loop's clock.
    std::int64_t wireFreeUs_ = 0;
    // The line settings the port has in force, which the line time counts.
    CommState lineInForce_;
};
