// The machine's serial ports through the Win32 communications API: one
// synchronous (not overlapped) handle per open port. Why a call failed is
// kept with the system's own text (FormatMessage) for the line trace.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "platform/LocalPortName.h"
#include "platform/network/NetworkPort.h"
#include "platform/SerialPort.h"
#include "platform/win32/CommSettings.h"
#include "platform/win32/SystemMessage.h"

namespace {

// How long one WaitWritable sleeps at most. A synchronous write blocks until
// the port has taken its bytes, so there is no cheap way to wait for room:
// a short sleep keeps a sender that found no room from spinning.
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

class Win32SerialPort final : public SerialPort {
public:
    explicit Win32SerialPort(HANDLE handle) : handle_(handle) {}
    ~Win32SerialPort() override { CloseHandle(handle_); }
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
    bool Read(void* into, std::size_t capacity, std::size_t& got) override {
        DWORD read = 0;
        const bool ok = ReadFile(handle_, into, ToDword(capacity), &read, nullptr) != 0;
        got = ok ? read : 0;
        return ok || Failed(PortFault::Reason::ReadFailed);
    }
    std::size_t Write(const void* bytes, std::size_t count) override {
        DWORD written = 0;
        if (WriteFile(handle_, bytes, ToDword(count), &written, nullptr)) return written;
        Failed(PortFault::Reason::WriteFailed);
        return 0;
    }
    bool WaitWritable(std::int64_t timeoutMs) override {
        COMSTAT status{};
        if (!ClearErrors(status)) return Failed(PortFault::Reason::WriteFailed);  // no longer reaches a device
        Sleep(static_cast<DWORD>(std::clamp<std::int64_t>(timeoutMs, 0, kWritableWaitMs)));
        return true;
    }

    // Returns once the driver's transmit buffer is empty; like the synchronous
    // write before it, it keeps no time limit of its own.
    bool Drain(std::int64_t) override {
        return FlushFileBuffers(handle_) != 0 || Failed(PortFault::Reason::WriteFailed);
    }

    // Reads stay polled on Windows: every read tick reads.
    Waitable* Input() override { return nullptr; }

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
    static DWORD ToDword(std::size_t count) { return static_cast<DWORD>(std::min<std::size_t>(count, MAXDWORD)); }

    HANDLE handle_;
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
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
