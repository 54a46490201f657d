// A model of Windows' serial driver for a 16550 UART, behind the Win32 calls
// a port makes, in virtual time: what the Windows driver samples' serial
// driver (the public relative of serial.sys) does, and what Microsoft's pages
// on serial time-outs, purging, queue sizes and flushing say it does. It
// stands in for the system under the port in tests, and records the wire.
//
// Reads go one at a time, in order, on the read queue; a read's time-outs are
// the ones in force when it becomes the current read. All-zero time-outs never
// end a read; MAXDWORD, 0, 0 ends it at once with what is there. A queue size
// larger than the input buffer (SetupComm) waits on the read queue behind the
// reads before it. Received bytes go into the current read, otherwise into
// the input buffer, whose count is what ClearCommError reports as cbInQue.
//
// Writes go one at a time on the write queue. Whenever the transmit FIFO is
// empty the driver loads at most 14 bytes of the current write into it; a
// write ends once its last chunk is loaded, and the FIFO then drains at the
// line's speed. With CTS handshake on, the driver loads nothing while CTS is
// low; bytes already in the FIFO still go. A flush waits on the write queue
// behind the writes before it. A purge's abort flags end the reads or writes
// with "cancelled" and what they had; CancelIoEx ends one call the same way.
//
// Variants: a driver that applies time-outs to the current read when they are
// set (a public USB-serial driver does), and one whose flush never returns.
// A call that could never return is recorded as a hang, and the clock jumps an
// hour, so that the run shows it rather than the test waiting for ever.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/TimeSource.h"
#include "platform/win32/CommApi.h"

class SerialDriverModel final : public CommApi {
public:
    enum class Variant { Ordinary, TimeoutsTakenWhenSet, FlushNeverReturns };

    // One frame as the line saw it: DTR lowered, the bytes written meanwhile,
    // DTR raised again.
    struct Frame {
        std::int64_t dtrDownUs = 0;
        std::int64_t dtrUpUs = 0;
        std::string bytes;
        std::size_t lastByte = 0;  // its place among all the bytes written
    };

    SerialDriverModel(VirtualTime& clock, Variant variant);

    HANDLE Handle() const { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x5E41)); }

    // The line's other side. A station starts sending `bytes` at atUs, one
    // after another at the line's speed in force. Returns when the last one
    // has arrived.
    std::int64_t Arrive(std::int64_t atUs, const std::string& bytes);
    // CTS goes to `raised` at atUs.
    void SetCts(std::int64_t atUs, bool raised) { ctsChanges_.emplace(atUs, raised); }
    // Called when DTR goes up after a frame, with the frame's bytes.
    std::function<void(const std::string& frame)> onFrame;

    // The device refuses a line setting it is asked for (SetCommState fails
    // and the previous one stays in force); the first setting in force.
    std::function<bool(const DCB& asked)> refuses;
    void SetStateInForce(std::uint32_t baudRate) { dcb_.BaudRate = baudRate; }
    // The size of the input buffer before any SetupComm.
    DWORD inputBufferSize = 4096;
    // The first ClearCommError after a one-byte read has taken its byte fails.
    bool failClearCommErrorAfterByte = false;

    std::int64_t NowUs() const { return nowUs_; }
    // The line on by `us` without moving the clock: the bytes still in the
    // FIFO go out, so every frame's last stop bit is known.
    void RunLineOn(std::int64_t us) { RunUntil(nowUs_ + us, [] { return false; }); }
    // When the byte at `index` among those written left the wire (its last
    // stop bit); nothing when it never did.
    std::optional<std::int64_t> WireEndUs(std::size_t index) const;

    const std::vector<Frame>& Frames() const { return frames_; }
    const std::vector<std::string>& Hangs() const { return hangs_; }
    // Every byte a read took, in order.
    const std::string& Delivered() const { return delivered_; }
    int ReadCalls() const { return readCalls_; }
    int Overruns() const { return overruns_; }

    BOOL ReadFile(HANDLE file, void* into, DWORD count, OVERLAPPED* call) override;
    BOOL WriteFile(HANDLE file, const void* bytes, DWORD count, OVERLAPPED* call) override;
    BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* call, DWORD* count, BOOL wait) override;
    BOOL CancelIoEx(HANDLE file, OVERLAPPED* call) override;
    BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) override;
    BOOL SetupComm(HANDLE file, DWORD inputSize, DWORD outputSize) override;
    BOOL PurgeComm(HANDLE file, DWORD flags) override;
    BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* status) override;
    BOOL FlushFileBuffers(HANDLE file) override;
    BOOL EscapeCommFunction(HANDLE file, DWORD function) override;
    BOOL SetCommState(HANDLE file, DCB* dcb) override;
    BOOL GetCommState(HANDLE file, DCB* dcb) override;
    DWORD WaitForSingleObject(HANDLE object, DWORD timeoutMs) override;
    void Sleep(DWORD ms) override;
    BOOL CloseHandle(HANDLE) override { return TRUE; }
    std::optional<std::int64_t> EventSetAtMs(HANDLE event) override;

private:
    enum class Kind { Read, Write, Flush, QueueSize };
    // One call on a queue (an IRP).
    struct Call {
        Kind kind = Kind::Read;
        OVERLAPPED* record = nullptr;  // nullptr for the synchronous calls
        std::uint8_t* into = nullptr;
        DWORD count = 0;
        DWORD done = 0;
        std::size_t firstByte = 0;  // a write's first byte among all written
        DWORD queueSize = 0;
        std::optional<std::int64_t> totalEndUs;
        DWORD intervalMs = 0;
        std::int64_t lastByteUs = 0;
        bool* finished = nullptr;  // a synchronous call's flag
    };

    std::int64_t CharUs() const;
    bool Held() const { return dcb_.fOutxCtsFlow != 0 && !cts_; }
    void Sync();
    void AdvanceClock();
    void Hang(const char* call);
    // Runs the line until `done` or limitUs; true when `done`.
    bool RunUntil(std::int64_t limitUs, const std::function<bool()>& done);
    std::optional<std::int64_t> NextEventUs() const;
    std::optional<std::int64_t> ReadEndUs() const;
    void Step();
    void Receive(std::uint8_t byte);
    void StartReads();
    void TakeTimeouts(Call& read);
    void Complete(Call& call, ULONG_PTR status);
    void EndCurrentRead(ULONG_PTR status);
    void StartWrites();
    void LoadFifo();
    void Shift();
    bool Cancel(std::deque<Call>& queue, OVERLAPPED* record, bool all);

    VirtualTime& clock_;
    Variant variant_;
    std::int64_t nowUs_ = 0;
    DCB dcb_{};
    COMMTIMEOUTS timeouts_{};
    bool cts_ = true;
    bool dtr_ = true;

    std::deque<Call> reads_;   // the front one is the current read
    std::deque<Call> writes_;  // the front one is the current write
    std::deque<std::uint8_t> input_;
    std::multimap<std::int64_t, std::uint8_t> arrivals_;
    std::multimap<std::int64_t, bool> ctsChanges_;
    std::deque<std::size_t> fifo_;  // places among all bytes written
    std::string written_;
    std::vector<std::int64_t> wireEndUs_;  // -1 until the byte has left
    std::optional<std::size_t> shifting_;
    std::int64_t shiftEndUs_ = 0;
    bool byteJustRead_ = false;

    std::optional<Frame> frame_;
    std::vector<Frame> frames_;
    std::vector<std::string> hangs_;
    std::string delivered_;
    int readCalls_ = 0;
    int overruns_ = 0;
};
