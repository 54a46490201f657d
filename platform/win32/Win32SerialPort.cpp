// The machine's serial ports through the Win32 communications API: one
// synchronous (not overlapped) handle per open port.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/LocalPortName.h"
#include "platform/network/NetworkPort.h"
#include "platform/SerialPort.h"
#include "platform/win32/CommSettings.h"

namespace {

// How long one WaitWritable sleeps at most. A synchronous write blocks until
// the port has taken its bytes, so there is no cheap way to wait for room:
// a short sleep keeps a sender that found no room from spinning.
constexpr std::int64_t kWritableWaitMs = 10;

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
        return ok;
    }
    std::size_t Write(const void* bytes, std::size_t count) override {
        DWORD written = 0;
        return WriteFile(handle_, bytes, ToDword(count), &written, nullptr) ? written : 0;
    }
    bool WaitWritable(std::int64_t timeoutMs) override {
        COMSTAT status{};
        if (!ClearErrors(status)) return false;  // the handle no longer reaches a device
        Sleep(static_cast<DWORD>(std::clamp<std::int64_t>(timeoutMs, 0, kWritableWaitMs)));
        return true;
    }

    // Returns once the driver's transmit buffer is empty, which a UART's FIFO
    // or a USB adapter may still hold the whole frame after (the serial
    // driver's wait for the line time covers that); like the synchronous
    // write before it, it keeps no time limit of its own.
    bool Drain(std::int64_t) override { return FlushFileBuffers(handle_) != 0; }

    // Reads stay polled on Windows: every read tick reads.
    Waitable* Input() override { return nullptr; }

private:
    bool ClearErrors(COMSTAT& status) {
        DWORD errors = 0;
        return ClearCommError(handle_, &errors, &status) != 0;
    }
    static DWORD ToDword(std::size_t count) { return static_cast<DWORD>(std::min<std::size_t>(count, MAXDWORD)); }

    HANDLE handle_;
};

// SCALEPOLL_COMn, when set and not empty, names what COMn stands for: a
// device server's network address, or another port of the machine ("COM12",
// "\\.\COM12"), so that a USB adapter numbered COM5 or higher serves a caller
// that knows only COM1..COM4. Any other text there names nothing, and the port
// cannot be opened. Without the variable COMn is the machine's own COMn.
class Win32SerialPorts final : public SerialPorts {
public:
    std::unique_ptr<SerialPort> Open(int portNumber) override {
        const char* configured = std::getenv(("SCALEPOLL_COM" + std::to_string(portNumber)).c_str());
        if (configured == nullptr || *configured == '\0') return OpenLocal(portNumber);
        if (IsNetworkAddress(configured)) return OpenNetworkPort(configured);
        if (const auto local = ParseLocalPortName(configured)) return OpenLocal(*local);
        return nullptr;
    }

private:
    static std::unique_ptr<SerialPort> OpenLocal(int number) {
        const HANDLE handle = CreateFileA(LocalPortDevice(number).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return nullptr;
        return std::make_unique<Win32SerialPort>(handle);
    }
};

}  // namespace

SerialPorts& SystemSerialPorts() {
    static Win32SerialPorts ports;
    return ports;
}
