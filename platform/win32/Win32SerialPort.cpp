// The machine's serial ports through the Win32 communications API: one
// overlapped handle per open port, so that the event loop can wait for bytes
// to arrive. Why a call failed is kept with the system's own text
// (FormatMessage) for the line trace.
//
// Arrival: a WaitCommEvent for EV_RXCHAR is kept pending, and its event is
// what the loop waits on. The event also stands set while bytes are still
// in the input queue after a read (a reply longer than one read takes, or
// bytes that came between the read and the next wait), and when the wait
// could not be started (the read that follows then finds out why).
//
// A read and a write wait for their own completion, as their synchronous
// forms do.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/LocalPortName.h"
#include "platform/network/NetworkPort.h"
#include "platform/SerialPort.h"
#include "platform/win32/CommSettings.h"
#include "platform/win32/SystemMessage.h"

namespace {

// How long one WaitWritable sleeps at most.
constexpr std::int64_t kWritableWaitMs = 10;

// What a handle to a port whose device went away (a USB adapter pulled out)
// answers.
bool DeviceGone(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_OPERATION_ABORTED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
            return true;
        default:
            return false;
    }
}

DWORD ToDword(std::size_t count) { return static_cast<DWORD>(std::min<std::size_t>(count, MAXDWORD)); }
DWORD ToWaitMs(std::int64_t ms) { return static_cast<DWORD>(std::clamp<std::int64_t>(ms, 0, INFINITE - 1)); }

// How long closing a port waits for a call under way to end once cancelled.
constexpr DWORD kCancelWaitMs = 1000;

// One overlapped call's record and its manual-reset event.
class Overlapped {
public:
    Overlapped() { record_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() {
        if (record_.hEvent != nullptr) CloseHandle(record_.hEvent);
    }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;

    HANDLE Event() const { return record_.hEvent; }
    // The record, cleared for a new call.
    OVERLAPPED* Start() {
        const HANDLE event = record_.hEvent;
        record_ = OVERLAPPED{};
        record_.hEvent = event;
        return &record_;
    }
    OVERLAPPED* Get() { return &record_; }
    DWORD events = 0;  // what a WaitCommEvent found

private:
    OVERLAPPED record_{};
};

class Win32SerialPort final : public SerialPort {
public:
    explicit Win32SerialPort(HANDLE handle)
        : handle_(handle), arrival_(std::make_unique<Overlapped>()), input_(arrival_->Event()) {
        SetCommMask(handle_, EV_RXCHAR);
        WatchArrival();
    }
    // A call still under way writes into its record when it ends, so each
    // is ended (an empty event mask ends a WaitCommEvent) and awaited before
    // its record goes; a record whose call does not end in time is left to
    // it, so closing never holds up the end of a run.
    ~Win32SerialPort() override {
        SetCommMask(handle_, 0);
        CancelIoEx(handle_, nullptr);
        if (waitPending_) AwaitEnd(arrival_);
        CloseHandle(handle_);
    }
    Win32SerialPort(const Win32SerialPort&) = delete;
    Win32SerialPort& operator=(const Win32SerialPort&) = delete;

    void SetState(const CommState& state) override {
        DCB dcb = ToDcb(state);
        SetCommState(handle_, &dcb);
    }
    void SetQueueSizes(std::uint16_t input, std::uint16_t output) override { SetupComm(handle_, input, output); }
    void SetTimeouts(const CommTimeouts& timeouts) override {
        COMMTIMEOUTS limits = ToCommTimeouts(timeouts);
        SetCommTimeouts(handle_, &limits);
    }
    void Purge(bool input, bool output) override {
        const DWORD inputFlags = input ? PURGE_RXABORT | PURGE_RXCLEAR : 0;
        const DWORD outputFlags = output ? PURGE_TXABORT | PURGE_TXCLEAR : 0;
        PurgeComm(handle_, inputFlags | outputFlags);
    }
    std::uint32_t OutputQueued() override {
        COMSTAT status{};
        return ClearErrors(status) ? status.cbOutQue : 0;
    }
    void SetDtr(bool raised) override { EscapeCommFunction(handle_, raised ? SETDTR : CLRDTR); }

    // Reads as a synchronous ReadFile does, within the read time-outs, then
    // watches for the next bytes.
    bool Read(void* into, std::size_t capacity, std::size_t& got) override {
        DWORD read = 0;
        const bool ok = Complete(ReadFile(handle_, into, ToDword(capacity), nullptr, read_.Start()), read_, read);
        got = ok ? read : 0;
        if (!ok) Failed(PortFault::Reason::ReadFailed);
        WatchArrival();
        return ok;
    }

    // Returns once the driver has taken the bytes, as a synchronous WriteFile
    // does: the serial driver counts a frame's line time from the write, so
    // the bytes must not go out later than that.
    std::size_t Write(const void* bytes, std::size_t count) override {
        DWORD written = 0;
        if (Complete(WriteFile(handle_, bytes, ToDword(count), nullptr, write_.Start()), write_, written))
            return written;
        Failed(PortFault::Reason::WriteFailed);
        return 0;
    }
    // A write returns only once its bytes are taken, so there is no write to
    // wait for: a short sleep keeps a sender that found no room from spinning.
    bool WaitWritable(std::int64_t timeoutMs) override {
        COMSTAT status{};
        if (!ClearErrors(status)) return Failed(PortFault::Reason::WriteFailed);  // no longer reaches a device
        Sleep(ToWaitMs(std::min(timeoutMs, kWritableWaitMs)));
        return true;
    }

    // Returns once the driver's transmit buffer is empty, which a UART's FIFO
    // or a USB adapter may still hold the whole frame after (the serial
    // driver's wait for the line time covers that); like the write before
    // it, it keeps no time limit of its own.
    bool Drain(std::int64_t) override {
        return FlushFileBuffers(handle_) != 0 || Failed(PortFault::Reason::WriteFailed);
    }

    Waitable* Input() override { return &input_; }

    std::optional<CommState> StateInForce() override {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        if (!GetCommState(handle_, &dcb)) return std::nullopt;
        return FromDcb(dcb);
    }

    std::optional<PortFault> TakeFault() override { return std::exchange(fault_, std::nullopt); }

private:
    // Keeps why the last call failed; always false, for the caller to return.
    bool Failed(PortFault::Reason otherwise) {
        const DWORD error = GetLastError();
        fault_ = PortFault{DeviceGone(error) ? PortFault::Reason::DeviceGone : otherwise, SystemMessage(error)};
        return false;
    }

    bool ClearErrors(COMSTAT& status) {
        DWORD errors = 0;
        return ClearCommError(handle_, &errors, &status) != 0;
    }

    // Ends an overlapped call as its synchronous form would: waits for it
    // when it is still under way.
    bool Complete(BOOL started, Overlapped& call, DWORD& transferred) {
        if (!started && GetLastError() != ERROR_IO_PENDING) return false;
        return GetOverlappedResult(handle_, call.Get(), &transferred, TRUE) != 0;
    }

    // Waits, at most kCancelWaitMs, for a cancelled call to end. The event is
    // cleared first, as it may have been set by hand, so that the wait ends
    // with the call itself; a call that does not end keeps its record.
    void AwaitEnd(std::unique_ptr<Overlapped>& call) {
        ResetEvent(call->Event());
        if (HasOverlappedIoCompleted(call->Get())) return;
        WaitForSingleObject(call->Event(), kCancelWaitMs);
        if (!HasOverlappedIoCompleted(call->Get())) static_cast<void>(call.release());
    }

    // Sets the arrival event when bytes are waiting, and otherwise keeps a
    // WaitCommEvent pending that sets it when the next one comes. The event
    // is cleared first: a wait that ends after that sets it again. A wait that
    // cannot be started leaves the event set, for the read to find out why.
    void WatchArrival() {
        ResetEvent(arrival_->Event());
        if (waitPending_ && HasOverlappedIoCompleted(arrival_->Get())) waitPending_ = false;
        if (!waitPending_) {
            if (WaitCommEvent(handle_, &arrival_->events, arrival_->Start())) return;  // its event is set
            if (GetLastError() != ERROR_IO_PENDING) {
                SetEvent(arrival_->Event());
                return;
            }
            waitPending_ = true;
        }
        COMSTAT status{};
        if (!ClearErrors(status) || status.cbInQue > 0) SetEvent(arrival_->Event());
    }

    HANDLE handle_;
    Overlapped read_;
    Overlapped write_;
    std::unique_ptr<Overlapped> arrival_;
    HandleWaitable input_;
    bool waitPending_ = false;   // a WaitCommEvent is under way
    std::optional<PortFault> fault_;
};

// SCALEPOLL_COMn, when set and not empty, names what COMn stands for: a
// device server's network address, or another port of the machine ("COM12",
// "\\.\COM12"), so that a USB adapter numbered COM5 or higher serves a caller
// that knows only COM1..COM4. Any other text there names nothing, and the port
// cannot be opened. Without the variable COMn is the machine's own COMn.
class Win32SerialPorts final : public SerialPorts {
public:
    std::unique_ptr<SerialPort> Open(int portNumber) override {
        lastFailure_ = {};
        const char* configured = Configured(portNumber);
        if (configured == nullptr) return OpenLocal(portNumber);
        if (IsNetworkAddress(configured)) return OpenNetworkPort(configured, lastFailure_);
        if (const auto local = ParseLocalPortName(configured)) return OpenLocal(*local);
        lastFailure_ = {OpenFailure::Reason::Other, "names no port",
                        "SCALEPOLL_COM" + std::to_string(portNumber) +
                            " takes COM1 to COM256, \\\\.\\COMn or a device server's address"};
        return nullptr;
    }

    std::string Describe(int portNumber) override {
        const char* configured = Configured(portNumber);
        if (configured == nullptr) return LocalPortDevice(portNumber);
        if (const auto local = ParseLocalPortName(configured)) return LocalPortDevice(*local);
        return configured;
    }

    OpenFailure LastOpenFailure() override { return lastFailure_; }

private:
    // SCALEPOLL_COMn when set and not empty.
    static const char* Configured(int portNumber) {
        const char* configured = std::getenv(("SCALEPOLL_COM" + std::to_string(portNumber)).c_str());
        return configured != nullptr && *configured != '\0' ? configured : nullptr;
    }

    std::unique_ptr<SerialPort> OpenLocal(int number) {
        const HANDLE handle = CreateFileA(LocalPortDevice(number).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            lastFailure_ = LocalOpenFailure(GetLastError());
            return nullptr;
        }
        return std::make_unique<Win32SerialPort>(handle);
    }

    // A port another program has open answers "access denied": ports are
    // opened exclusively.
    static OpenFailure LocalOpenFailure(DWORD error) {
        OpenFailure failure{OpenFailure::Reason::Other, SystemMessage(error), ""};
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
            failure.reason = OpenFailure::Reason::Busy;
            failure.hint = "another program has the port open";
        } else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            failure.reason = OpenFailure::Reason::Missing;
            failure.hint = "the ports present are listed in Device Manager under Ports (COM & LPT)";
        }
        return failure;
    }

    OpenFailure lastFailure_;
};

}  // namespace

SerialPorts& SystemSerialPorts() {
    static Win32SerialPorts ports;
    return ports;
}
