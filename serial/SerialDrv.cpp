#include "serial/SerialDrv.h"

#include <algorithm>
#include <optional>

namespace {

constexpr std::uint32_t kBaudRates[] = {110,   300,   600,   1200,  2400,  4800,  9600,
                                        14400, 19200, 38400, 56000, 57600, 115200};

// A read returns after about a millisecond with whatever has arrived; a
// write has no platform time limit (SendBlock keeps its own).
constexpr CommTimeouts kTimeouts{1, 0, 1, 0, 0};

// How much later than a frame's line time, counted from its write, DTR goes
// up. Some drivers' own wait until sent ends as soon as their USB transfer
// has reached the adapter, not the wire (ch341, pl2303, cdc-acm; on Windows
// FlushFileBuffers with any adapter or a UART's FIFO), so for them the line
// time is all there is to go by. The transfer reaches the chip in the bus's
// next 1 ms frame, on an idle bus up to 1.6 ms after the write, a frame or
// two later on a busy one; and the millisecond clock may read the write up
// to 1 ms early. 4 ms covers a transfer arriving up to 3 ms after the write.
// It is kept that small because while DTR is low our transmitter holds the
// bus and a station may start its answer soon after the frame: DTR has to be
// up within 10 ms of the last stop bit, and rounding to the clock (up to
// 2 ms), waking up and the DTR request's own trip to the chip come on top.
constexpr std::int64_t kHandOverAllowanceUs = 4000;

// What a UART's transmit FIFO holds: with a handshake on, the port's wait
// until sent may end with this many characters still to go.
constexpr std::size_t kFifoCharacters = 16;

}  // namespace

TSerialDriver::TSerialDriver(EventLoop& loop, SerialPorts& ports)
    : loop_(loop), ports_(ports), readTimer_(loop, pollingDelay_, [this] { ReadTimerTick(); }),
      receiveBuffer_(inBufSize_) {}

TSerialDriver::~TSerialDriver() { ClosePort(); }

bool TSerialDriver::OpenPort() {
    if (IsPortOpen()) return true;
    port_ = ports_.Open(comPort_ + 1);
    if (!port_) return false;
    ApplyLineSettings();
    port_->SetTimeouts(kTimeouts);
    readTimer_.WaitFor(port_->Input());
    readTimer_.Enable();
    return true;
}

void TSerialDriver::ClosePort() {
    if (!IsPortOpen()) return;
    readTimer_.Disable();
    readTimer_.WaitFor(nullptr);
    port_.reset();
}

void TSerialDriver::ApplyLineSettings() {
    if (!IsPortOpen()) return;
    const CommState asked = LineState();
    port_->SetState(asked);
    lineInForce_ = LineInForce(asked);
    PurgeBuffers(true, true);
    port_->SetQueueSizes(inBufSize_, outBufSize_);
}

// The framing the bytes go out with is the one read back from the port: a
// setting the device refused leaves the previous one in force, and some
// adapters force their own (a CP2101 keeps 8N1). What was asked stands where
// the port cannot tell. Handshaking is taken as asked: it is not read back.
CommState TSerialDriver::LineInForce(const CommState& asked) const {
    std::optional<CommState> inForce = port_->StateInForce();
    if (!inForce || inForce->baudRate == 0) return asked;
    inForce->rtsCtsHandshake = asked.rtsCtsHandshake;
    inForce->xonXoff = asked.xonXoff;
    return *inForce;
}

CommState TSerialDriver::LineState() const {
    CommState state;
    state.baudRate = kBaudRates[speed_];
    state.byteSize = static_cast<std::uint8_t>(dataBits_ + 5);
    state.parity = parity_;
    state.stopBits = stopBits_;
    state.dtrEnable = EnableDTROnOpen;
    state.rtsCtsHandshake = hwHandshaking_ == hhRTSCTS;
    state.xonXoff = swHandshaking_ == shXONXOFF;
    state.xonLimit = static_cast<std::uint16_t>(inBufSize_ / 4);
    state.xoffLimit = 1;
    return state;
}

// Output that is discarded never reaches the wire.
void TSerialDriver::PurgeBuffers(bool input, bool output) {
    if (!IsPortOpen()) return;
    port_->Purge(input, output);
    if (output) wireFreeUs_ = 0;
}

std::uint16_t TSerialDriver::FreeOutputSpace() {
    if (!IsPortOpen()) return 65535;
    return static_cast<std::uint16_t>(outBufSize_ - port_->OutputQueued());
}

std::int32_t TSerialDriver::SendBlock(const void* bytes, std::int32_t count) {
    if (!IsPortOpen()) return 0;
    const auto* next = static_cast<const std::uint8_t*>(bytes);
    std::int32_t remaining = count;
    std::int32_t total = 0;
    lastSendProgressMs_ = loop_.NowMs();
    while (remaining > 0) {
        std::int32_t written = 0;
        if (FreeOutputSpace() != 0) {
            const std::int64_t handedMs = loop_.NowMs();
            written = static_cast<std::int32_t>(port_->Write(next, static_cast<std::size_t>(remaining)));
            next += written;
            remaining -= written;
            total += written;
            NoteHandedOver(handedMs, written);
        }
        if (written > 0) {
            lastSendProgressMs_ = loop_.NowMs();
        } else if (!port_->WaitWritable(lastSendProgressMs_ + OutputTimeout + 1 - loop_.NowMs())) {
            return -total;  // the device is gone: waiting cannot help
        }
        if (loop_.NowMs() - lastSendProgressMs_ > OutputTimeout) return -total;
    }
    return total;
}

// The bytes of one write go on the wire no sooner than the write began (a
// synchronous WriteFile may return only once they are in the UART) and no
// sooner than the bytes before them have left.
void TSerialDriver::NoteHandedOver(std::int64_t atMs, std::int32_t count) {
    if (count <= 0) return;
    wireFreeUs_ = std::max(wireFreeUs_, atMs * 1000) + LineTimeMicros(lineInForce_, static_cast<std::size_t>(count));
}

bool TSerialDriver::DrainOutput() {
    if (!IsPortOpen()) return false;
    const std::int64_t limitMs = lastSendProgressMs_ + OutputTimeout;
    const bool drained = port_->Drain(std::max<std::int64_t>(0, limitMs - loop_.NowMs()));
    // A handshake (RTS/CTS, XON/XOFF) can pause the transmitter, so the line
    // time counted from the write may end with bytes still waiting. The
    // port's wait ends once the last bytes are in the UART's FIFO at the
    // latest, so a FIFO's worth of characters from there covers them, at the
    // cost of DTR going up that much later when nothing paused.
    if (drained && (lineInForce_.rtsCtsHandshake || lineInForce_.xonXoff))
        wireFreeUs_ = std::max(wireFreeUs_, loop_.NowMs() * 1000 + LineTimeMicros(lineInForce_, kFifoCharacters));
    const std::int64_t wireFreeMs = (wireFreeUs_ + kHandOverAllowanceUs + 999) / 1000;
    loop_.WaitUntil(std::min(wireFreeMs, limitMs));
    return drained && wireFreeMs <= limitMs;
}

void TSerialDriver::SetDTR(bool raised) {
    if (IsPortOpen()) port_->SetDtr(raised);
}

void TSerialDriver::ReadTimerTick() {
    if (!IsPortOpen()) return;
    std::size_t got = 0;
    const bool ok = port_->Read(receiveBuffer_.data(), receiveBuffer_.size(), got);
    if (ok && got > 0 && OnReceiveData) OnReceiveData(this, receiveBuffer_.data(), static_cast<std::int32_t>(got));
}

void TSerialDriver::SetComPort(TPortNumber value) {
    if (!IsPortOpen()) comPort_ = value;
}

template <typename T>
void TSerialDriver::SetLineSetting(T& setting, T value) {
    setting = value;
    ApplyLineSettings();
}

void TSerialDriver::SetComPortSpeed(TPortBaudRate value) { SetLineSetting(speed_, value); }
void TSerialDriver::SetComPortDataBits(TPortDataBits value) { SetLineSetting(dataBits_, value); }
void TSerialDriver::SetComPortStopBits(TPortStopBits value) { SetLineSetting(stopBits_, value); }
void TSerialDriver::SetComPortParity(TPortParity value) { SetLineSetting(parity_, value); }
void TSerialDriver::SetComPortHwHandshaking(TPortHwHandshaking value) { SetLineSetting(hwHandshaking_, value); }
void TSerialDriver::SetComPortSwHandshaking(TPortSwHandshaking value) { SetLineSetting(swHandshaking_, value); }

void TSerialDriver::SetComPortInBufSize(std::uint16_t value) {
    if (IsPortOpen()) return;
    inBufSize_ = value;
    receiveBuffer_.assign(value, 0);
}

// The output queue size is never changed by this system; like the input
// queue size, it is taken only while the port is closed, so that
// FreeOutputSpace and the platform's queue always agree.
void TSerialDriver::SetComPortOutBufSize(std::uint16_t value) {
    if (!IsPortOpen()) outBufSize_ = value;
}

void TSerialDriver::SetComPortPollingDelay(std::uint16_t value) {
    if (value == pollingDelay_) return;
    pollingDelay_ = value;
    readTimer_.SetInterval(value);
    if (IsPortOpen()) {
        readTimer_.Disable();
        readTimer_.Enable();
    }
}
