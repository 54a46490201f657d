#include "serial/SerialDrv.h"

#include <algorithm>

namespace {

constexpr std::uint32_t kBaudRates[] = {110,   300,   600,   1200,  2400,  4800,  9600,
                                        14400, 19200, 38400, 56000, 57600, 115200};

// A read returns after about a millisecond with whatever has arrived; a
// write has no platform time limit (SendBlock keeps its own).
constexpr CommTimeouts kTimeouts{1, 0, 1, 0, 0};

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
    port_->SetState(state);
    PurgeBuffers(true, true);
    port_->SetQueueSizes(inBufSize_, outBufSize_);
}

void TSerialDriver::PurgeBuffers(bool input, bool output) {
    if (IsPortOpen()) port_->Purge(input, output);
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
            written = static_cast<std::int32_t>(port_->Write(next, static_cast<std::size_t>(remaining)));
            next += written;
            remaining -= written;
            total += written;
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

bool TSerialDriver::DrainOutput() {
    if (!IsPortOpen()) return false;
    return port_->Drain(std::max<std::int64_t>(0, lastSendProgressMs_ + OutputTimeout - loop_.NowMs()));
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
