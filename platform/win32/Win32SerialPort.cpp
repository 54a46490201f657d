// The machine's serial ports through the Win32 communications API: one
// overlapped handle per open port, so that the event loop can wait for bytes
// to arrive and a sender can wait for a write to finish. Why a call failed is
// kept with the system's own text (FormatMessage) for the line trace. Every
// call goes through CommApi: the system's functions, or in tests a model of
// the serial driver.
//
// Arrival: a read of one byte is kept pending, with no time limit, and its
// event is what the loop waits on. A tick whose event is not set reads
// nothing. When it is set, Read takes that byte and then exactly the bytes the
// input queue holds beside it, which never waits, and starts the next one-byte
// read. The port's own time-outs are put in force only for the read of the
// queue, as a driver that applies time-outs when they are set would otherwise
// end the pending read at once. A one-byte read is what both Windows' serial
// drivers and Wine serve from the line itself; a WaitCommEvent for EV_RXCHAR
// would do under Windows, but Wine serves it by polling the line from a
// thread of its own.
//
// Writes: a write hands its bytes over and returns; a write still under way
// is what a sender facing a full queue waits on, and what Drain waits for.
// No call waits without a limit: the driver's flush is not used at all.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/LocalPortName.h"
#include "platform/network/NetworkPort.h"
#include "platform/SerialPort.h"
#include "platform/win32/CommSettings.h"
#include "platform/win32/Win32SerialPort.h"
#include "platform/win32/SystemMessage.h"

namespace {

// How long WaitWritable sleeps at most when a write failed outright and none
// is under way to wait for: a sender retrying does not spin the processor.
constexpr std::int64_t kFailedWriteWaitMs = 10;

// How long a cancelled call is waited for, at most, before its record is
// left to it: a port's close or purge never holds up the run for longer.
constexpr DWORD kCancelWaitMs = 1000;

// How long a read of bytes already in the input queue is waited for before
// it is cancelled: it ends at once unless the driver is at fault.
constexpr DWORD kQueuedReadWaitMs = 50;

// What a handle to a port whose device went away (a USB adapter pulled out)
// answers. ERROR_OPERATION_ABORTED is not among them: it is what a call
// cancelled by a purge or by the port itself ends with.
bool DeviceGone(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
            return true;
        default:
            return false;
    }
}

DWORD ToDword(std::size_t count) { return static_cast<DWORD>(std::min<std::size_t>(count, MAXDWORD)); }
DWORD ToWaitMs(std::int64_t ms) { return static_cast<DWORD>(std::clamp<std::int64_t>(ms, 0, INFINITE - 1)); }

// One overlapped call: its record, its manual-reset event and the bytes it
// reads into or writes from, which must stay while it is under way.
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
    bool Done() { return HasOverlappedIoCompleted(&record_); }

    std::vector<std::uint8_t> bytes;
    bool underWay = false;  // started, and its result not yet taken

private:
    OVERLAPPED record_{};
};

// The event of the wait for a byte, and in virtual time when the driver
// will set it.
class ArrivalWaitable final : public Waitable {
public:
    ArrivalWaitable(HANDLE event, CommApi& api) : event_(event), api_(api) {}
    int Descriptor() override { return -1; }
    void* Handle() override { return event_; }
    std::optional<std::int64_t> ReadyAtMs() override { return api_.EventSetAtMs(event_); }

private:
    HANDLE event_;
    CommApi& api_;
};

class Win32SerialPort final : public SerialPort {
public:
    Win32SerialPort(HANDLE handle, CommApi& api)
        : api_(api),
          handle_(handle),
          arrival_(std::make_unique<Overlapped>()),
          write_(std::make_unique<Overlapped>()),
          read_(std::make_unique<Overlapped>()),
          input_(arrival_->Event(), api) {
        arrival_->bytes.resize(1);
        WatchArrival();
    }
    // A call under way writes into its record when it ends, so each is
    // cancelled and awaited before its record goes.
    ~Win32SerialPort() override {
        api_.CancelIoEx(handle_, nullptr);
        if (!AwaitEnd(*arrival_)) static_cast<void>(arrival_.release());
        if (!AwaitEnd(*write_)) static_cast<void>(write_.release());
        if (!AwaitEnd(*read_)) static_cast<void>(read_.release());
        api_.CloseHandle(handle_);
    }
    Win32SerialPort(const Win32SerialPort&) = delete;
    Win32SerialPort& operator=(const Win32SerialPort&) = delete;

    void SetState(const CommState& state) override {
        DCB dcb = ToDcb(state);
        api_.SetCommState(handle_, &dcb);
    }
    // The driver takes an input size larger than its buffer only once the
    // reads before it have ended, and the wait for a byte ends only with a
    // byte: it is set aside meanwhile, keeping a byte it has taken.
    void SetQueueSizes(std::uint16_t input, std::uint16_t output) override {
        if (!SetArrivalAside()) return;  // a read that does not end would hold the size for ever
        api_.SetupComm(handle_, input, output);
        if (!watchFailure_) WatchArrival();
        if (held_) SetEvent(arrival_->Event());  // for the next tick to take it
    }
    // Kept for the reads that take what the input queue holds; they are put
    // in force just before each, as some drivers apply time-outs to the read
    // under way when they are set, and would end the wait for a byte at once.
    void SetTimeouts(const CommTimeouts& timeouts) override { timeouts_ = ToCommTimeouts(timeouts); }
    // Input discarded includes a byte the wait-for-a-byte read has taken or
    // set aside.
    void Purge(bool input, bool output) override {
        const DWORD inputFlags = input ? PURGE_RXABORT | PURGE_RXCLEAR : 0;
        const DWORD outputFlags = output ? PURGE_TXABORT | PURGE_TXCLEAR : 0;
        api_.PurgeComm(handle_, inputFlags | outputFlags);
        if (input) held_.reset();
        if (!input || !arrival_->underWay) return;
        api_.CancelIoEx(handle_, arrival_->Get());
        if (!AwaitEnd(*arrival_)) return;  // still under way: it stays the wait
        arrival_->underWay = false;
        WatchArrival();
    }
    std::uint32_t OutputQueued() override {
        COMSTAT status{};
        return ClearErrors(status) ? status.cbOutQue : 0;
    }
    void SetDtr(bool raised) override { api_.EscapeCommFunction(handle_, raised ? SETDTR : CLRDTR); }

    // Takes a byte set aside, the byte the wait has read, if it has, then
    // what the input queue holds beside them, and waits for the next byte
    // again: one new wait per tick at most, also where the driver ends a wait
    // with no byte. A failure after bytes were taken hands them over first
    // and is reported at the next tick.
    bool Read(void* into, std::size_t capacity, std::size_t& got) override {
        got = 0;
        if (capacity == 0) return true;
        auto* bytes = static_cast<std::uint8_t*>(into);
        if (held_) {
            bytes[got++] = *std::exchange(held_, std::nullopt);
            // Its event was set by hand; a wait under way sets it again when it ends.
            if (arrival_->underWay) ResetEvent(arrival_->Event());
        }
        if (watchFailure_) {
            if (got > 0) return true;
            SetLastError(*std::exchange(watchFailure_, std::nullopt));
            Failed(PortFault::Reason::ReadFailed);
            WatchArrival();
            return false;
        }
        if (!arrival_->underWay || !arrival_->Done()) return true;
        arrival_->underWay = false;
        DWORD first = 0;
        if (!api_.GetOverlappedResult(handle_, arrival_->Get(), &first, FALSE)) return FailRead(got);
        if (first == 1) {
            if (got < capacity) bytes[got++] = arrival_->bytes[0];
            else held_ = arrival_->bytes[0];
        }
        if (!ReadQueued(bytes + got, capacity - got, got)) return FailRead(got);
        WatchArrival();
        return true;
    }

    // Hands the bytes over to the driver, which sends them in turn after any
    // before them; 0 while an earlier write is still under way.
    std::size_t Write(const void* bytes, std::size_t count) override {
        if (write_->underWay) {
            if (!write_->Done()) return 0;
            if (!TakeWriteResult()) return 0;
        }
        const auto* from = static_cast<const std::uint8_t*>(bytes);
        write_->bytes.assign(from, from + ToDword(count));
        const DWORD size = ToDword(write_->bytes.size());
        if (api_.WriteFile(handle_, write_->bytes.data(), size, write_->Start()) ||
            GetLastError() == ERROR_IO_PENDING) {
            write_->underWay = true;
            return size;
        }
        Failed(PortFault::Reason::WriteFailed);
        return 0;
    }
    // Waits for the write under way to end; false only when it ended because
    // the device is gone, as then no write can follow.
    bool WaitWritable(std::int64_t timeoutMs) override {
        if (write_->underWay) {
            if (api_.WaitForSingleObject(write_->Event(), ToWaitMs(timeoutMs)) != WAIT_OBJECT_0) return true;
            return TakeWriteResult() || fault_->reason != PortFault::Reason::DeviceGone;
        }
        COMSTAT status{};
        if (!ClearErrors(status)) return Failed(PortFault::Reason::WriteFailed);  // no longer reaches a device
        api_.Sleep(ToWaitMs(std::min(timeoutMs, kFailedWriteWaitMs)));
        return true;
    }

    // Waits, at most timeoutMs, for the write under way to end. The serial
    // driver ends a write once its last bytes are in the UART's FIFO, which
    // is also all its flush (FlushFileBuffers) waits for; but a flush has no
    // time limit, and a vendor's driver waiting for its chip, an adapter that
    // stops taking bytes or a paused transmitter would hold it for ever. A
    // UART's FIFO or a USB adapter may still hold the whole frame after: the
    // serial driver's wait for the line time covers that. A write still under
    // way at the limit is cancelled, so that its bytes do not go out later.
    bool Drain(std::int64_t timeoutMs) override {
        if (!write_->underWay) return true;
        if (api_.WaitForSingleObject(write_->Event(), ToWaitMs(timeoutMs)) == WAIT_OBJECT_0) return TakeWriteResult();
        api_.CancelIoEx(handle_, write_->Get());
        if (AwaitEnd(*write_)) write_->underWay = false;
        fault_ = PortFault{PortFault::Reason::DrainCutShort,
                           "the frame had not left the port within " + std::to_string(timeoutMs) +
                               " ms, the line is stalled (held by flow control?)"};
        return false;
    }

    Waitable* Input() override { return &input_; }

    std::optional<CommState> StateInForce() override {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        if (!api_.GetCommState(handle_, &dcb)) return std::nullopt;
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
        return api_.ClearCommError(handle_, &errors, &status) != 0;
    }

    // Starts the wait for the next byte: a one-byte read with no time limit,
    // whose event stays set once it has ended. The all-zero time-outs stay in
    // force until the next read of the queue. One that cannot start sets the
    // event by hand, so that the next tick reads and reports why.
    void WatchArrival() {
        COMMTIMEOUTS noLimit{};
        api_.SetCommTimeouts(handle_, &noLimit);
        const bool started =
            api_.ReadFile(handle_, arrival_->bytes.data(), 1, arrival_->Start()) || GetLastError() == ERROR_IO_PENDING;
        arrival_->underWay = started;
        if (started) return;
        watchFailure_ = GetLastError();
        SetEvent(arrival_->Event());
    }

    // Ends the wait for a byte, keeping the byte it has taken; false when the
    // read did not end within kCancelWaitMs of its cancel.
    bool SetArrivalAside() {
        if (!arrival_->underWay) return true;
        if (!arrival_->Done()) api_.CancelIoEx(handle_, arrival_->Get());
        if (!AwaitEnd(*arrival_)) return false;
        arrival_->underWay = false;
        DWORD read = 0;
        api_.GetOverlappedResult(handle_, arrival_->Get(), &read, FALSE);
        if (read == 1) held_ = arrival_->bytes[0];
        return true;
    }

    // Reads what the input queue holds, at most `capacity` bytes: there to
    // take, so the read ends at once, under the port's own time-outs.
    // Adds the count to `got`, also of a read that failed or was cut short:
    // those bytes have left the driver. Never waits more than
    // kQueuedReadWaitMs, then kCancelWaitMs for the cancel; a read that did
    // not end even then keeps its record until it does.
    bool ReadQueued(std::uint8_t* into, std::size_t capacity, std::size_t& got) {
        if (read_->underWay) {
            if (!read_->Done()) return false;
            read_->underWay = false;
        }
        COMSTAT status{};
        if (!ClearErrors(status)) return false;
        const DWORD wanted = ToDword(std::min<std::size_t>(capacity, status.cbInQue));
        if (wanted == 0) return true;
        api_.SetCommTimeouts(handle_, &timeouts_);
        read_->underWay = api_.ReadFile(handle_, into, wanted, read_->Start()) || GetLastError() == ERROR_IO_PENDING;
        if (!read_->underWay) return false;
        if (api_.WaitForSingleObject(read_->Event(), kQueuedReadWaitMs) != WAIT_OBJECT_0) {
            api_.CancelIoEx(handle_, read_->Get());
            if (!AwaitEnd(*read_)) return false;
        }
        read_->underWay = false;
        DWORD read = 0;
        const bool ok = api_.GetOverlappedResult(handle_, read_->Get(), &read, FALSE) != 0;
        got += read;
        return ok;
    }

    // A read that failed after bytes were taken: they are handed over now,
    // the failure at the next tick, for which the event is set by hand.
    bool FailRead(std::size_t got) {
        if (got > 0) {
            watchFailure_ = GetLastError();
            SetEvent(arrival_->Event());
            return true;
        }
        Failed(PortFault::Reason::ReadFailed);
        WatchArrival();
        return false;
    }

    // The result of the write that has ended; false, with the fault kept,
    // when it failed. A write a purge aborted failed nothing: its output was
    // thrown away on purpose.
    bool TakeWriteResult() {
        write_->underWay = false;
        DWORD written = 0;
        return api_.GetOverlappedResult(handle_, write_->Get(), &written, FALSE) != 0 ||
               GetLastError() == ERROR_OPERATION_ABORTED || Failed(PortFault::Reason::WriteFailed);
    }

    // Waits, at most kCancelWaitMs, for a cancelled call to end; true when it
    // has. A record whose call does not end is let go of on close rather than
    // freed under it, so that closing never holds up the end of a run.
    bool AwaitEnd(Overlapped& call) {
        if (!call.underWay || call.Done()) return true;
        api_.WaitForSingleObject(call.Event(), kCancelWaitMs);
        return call.Done();
    }

    CommApi& api_;
    HANDLE handle_;
    std::unique_ptr<Overlapped> arrival_;
    std::unique_ptr<Overlapped> write_;
    std::unique_ptr<Overlapped> read_;
    ArrivalWaitable input_;
    COMMTIMEOUTS timeouts_{};
    std::optional<DWORD> watchFailure_;  // why the last wait for a byte, or a read after it, failed
    std::optional<std::uint8_t> held_;   // a byte the wait took before it was set aside
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
        return MakeWin32SerialPort(handle, SystemCommApi());
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

std::unique_ptr<SerialPort> MakeWin32SerialPort(HANDLE handle, CommApi& api) {
    return std::make_unique<Win32SerialPort>(handle, api);
}

SerialPorts& SystemSerialPorts() {
    static Win32SerialPorts ports;
    return ports;
}
