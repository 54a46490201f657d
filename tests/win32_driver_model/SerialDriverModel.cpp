#include "tests/win32_driver_model/SerialDriverModel.h"

#include <algorithm>
#include <limits>

namespace {

constexpr ULONG_PTR kPending = 0x103;          // STATUS_PENDING
constexpr ULONG_PTR kSuccess = 0;              // STATUS_SUCCESS
constexpr ULONG_PTR kCancelled = 0xC0000120;   // STATUS_CANCELLED
constexpr std::int64_t kForever = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kHangUs = 3'600'000'000;  // what a call that never returns costs the run
constexpr DWORD kTxFifoLoad = 14;              // bytes loaded into the FIFO per transmit interrupt

bool Set(HANDLE event) { return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

}  // namespace

SerialDriverModel::SerialDriverModel(VirtualTime& clock, Variant variant) : clock_(clock), variant_(variant) {
    dcb_.DCBlength = sizeof(DCB);
    dcb_.BaudRate = 9600;
    dcb_.fBinary = 1;
    dcb_.ByteSize = 8;
}

std::int64_t SerialDriverModel::Arrive(std::int64_t atUs, const std::string& bytes) {
    std::int64_t at = atUs;
    for (const char value : bytes) {
        at += CharUs();
        arrivals_.emplace(at, static_cast<std::uint8_t>(value));
    }
    return at;
}

std::optional<std::int64_t> SerialDriverModel::WireEndUs(std::size_t index) const {
    if (index >= wireEndUs_.size() || wireEndUs_[index] < 0) return std::nullopt;
    return wireEndUs_[index];
}

// A start bit, the data bits, the parity bit and the stop bits.
std::int64_t SerialDriverModel::CharUs() const {
    const double stopBits = dcb_.StopBits == ONESTOPBIT ? 1.0 : dcb_.StopBits == ONE5STOPBITS ? 1.5 : 2.0;
    const double bits = 1.0 + dcb_.ByteSize + (dcb_.Parity != NOPARITY ? 1.0 : 0.0) + stopBits;
    return static_cast<std::int64_t>(bits * 1e6 / std::max<DWORD>(dcb_.BaudRate, 1) + 0.5);
}

// Every call first brings the line up to the clock.
void SerialDriverModel::Sync() {
    RunUntil(std::max(nowUs_, clock_.NowMs() * 1000), [] { return false; });
}

// A call that waited moves the clock to where the line is.
void SerialDriverModel::AdvanceClock() {
    const std::int64_t ms = (nowUs_ + 999) / 1000;
    if (ms > clock_.NowMs()) clock_.Advance(ms - clock_.NowMs());
}

void SerialDriverModel::Hang(const char* call) {
    hangs_.emplace_back(call);
    RunUntil(nowUs_ + kHangUs, [] { return false; });
    AdvanceClock();
}

bool SerialDriverModel::RunUntil(std::int64_t limitUs, const std::function<bool()>& done) {
    for (;;) {
        if (done()) return true;
        const auto next = NextEventUs();
        if (!next || *next > limitUs) {
            if (limitUs != kForever) nowUs_ = std::max(nowUs_, limitUs);
            return false;
        }
        nowUs_ = std::max(nowUs_, *next);
        Step();
    }
}

std::optional<std::int64_t> SerialDriverModel::NextEventUs() const {
    std::optional<std::int64_t> next;
    const auto earliest = [&next](std::int64_t at) { next = next ? std::min(*next, at) : at; };
    if (shifting_) earliest(shiftEndUs_);
    if (!arrivals_.empty()) earliest(arrivals_.begin()->first);
    if (!ctsChanges_.empty()) earliest(ctsChanges_.begin()->first);
    if (const auto end = ReadEndUs()) earliest(*end);
    return next;
}

// When the current read's time-outs end it: the total time, or the interval
// after its last byte.
std::optional<std::int64_t> SerialDriverModel::ReadEndUs() const {
    if (reads_.empty() || reads_.front().kind != Kind::Read) return std::nullopt;
    const Call& read = reads_.front();
    std::optional<std::int64_t> end = read.totalEndUs;
    if (read.done > 0 && read.intervalMs != 0) {
        const std::int64_t interval = read.lastByteUs + std::int64_t{read.intervalMs} * 1000;
        end = end ? std::min(*end, interval) : interval;
    }
    return end;
}

// One event due at nowUs_, the earliest first.
void SerialDriverModel::Step() {
    if (shifting_ && shiftEndUs_ <= nowUs_) {
        wireEndUs_[*shifting_] = shiftEndUs_;
        shifting_.reset();
        Shift();
        return;
    }
    if (!ctsChanges_.empty() && ctsChanges_.begin()->first <= nowUs_) {
        cts_ = ctsChanges_.begin()->second;
        ctsChanges_.erase(ctsChanges_.begin());
        LoadFifo();
        return;
    }
    if (!arrivals_.empty() && arrivals_.begin()->first <= nowUs_) {
        const std::uint8_t value = arrivals_.begin()->second;
        arrivals_.erase(arrivals_.begin());
        Receive(value);
        return;
    }
    if (const auto end = ReadEndUs(); end && *end <= nowUs_) EndCurrentRead(kSuccess);
}

void SerialDriverModel::Receive(std::uint8_t value) {
    if (!reads_.empty() && reads_.front().kind == Kind::Read) {
        Call& read = reads_.front();
        read.into[read.done++] = value;
        read.lastByteUs = nowUs_;
        delivered_ += static_cast<char>(value);
        if (read.done == read.count) EndCurrentRead(kSuccess);
        return;
    }
    if (input_.size() >= inputBufferSize) {
        ++overruns_;
        return;
    }
    input_.push_back(value);
}

// Starts the calls at the head of the read queue in turn, until one has to
// wait.
void SerialDriverModel::StartReads() {
    while (!reads_.empty()) {
        Call& call = reads_.front();
        if (call.kind == Kind::QueueSize) {
            inputBufferSize = std::max(inputBufferSize, call.queueSize);
            *call.finished = true;
            reads_.pop_front();
            continue;
        }
        while (call.done < call.count && !input_.empty()) {
            call.into[call.done++] = input_.front();
            delivered_ += static_cast<char>(input_.front());
            input_.pop_front();
        }
        if (call.done == call.count) {
            EndCurrentRead(kSuccess);
            return;
        }
        TakeTimeouts(call);
        return;
    }
}

void SerialDriverModel::TakeTimeouts(Call& read) {
    const COMMTIMEOUTS& t = timeouts_;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        EndCurrentRead(kSuccess);
        return;
    }
    read.intervalMs = t.ReadIntervalTimeout;
    read.totalEndUs.reset();
    const std::int64_t totalMs = std::int64_t{t.ReadTotalTimeoutMultiplier} * read.count + t.ReadTotalTimeoutConstant;
    if (totalMs > 0) read.totalEndUs = nowUs_ + totalMs * 1000;
}

void SerialDriverModel::Complete(Call& call, ULONG_PTR status) {
    if (call.record == nullptr) {
        if (call.finished != nullptr) *call.finished = true;
        return;
    }
    call.record->Internal = status;
    call.record->InternalHigh = call.done;
    SetEvent(call.record->hEvent);
}

void SerialDriverModel::EndCurrentRead(ULONG_PTR status) {
    Call& read = reads_.front();
    if (read.count == 1 && read.done == 1) byteJustRead_ = true;
    Complete(read, status);
    reads_.pop_front();
    StartReads();
}

// A write that becomes current is loaded at once when the FIFO is empty; a
// flush that becomes current ends.
void SerialDriverModel::StartWrites() {
    while (!writes_.empty() && writes_.front().kind == Kind::Flush) {
        if (variant_ == Variant::FlushNeverReturns) return;
        Complete(writes_.front(), kSuccess);
        writes_.pop_front();
    }
    if (fifo_.empty()) LoadFifo();
}

// The transmit interrupt with the FIFO empty: the next chunk of the current
// write goes in, unless CTS holds the transmitter.
void SerialDriverModel::LoadFifo() {
    if (!fifo_.empty() || Held() || writes_.empty() || writes_.front().kind != Kind::Write) return;
    Call& write = writes_.front();
    const DWORD chunk = std::min(kTxFifoLoad, write.count - write.done);
    for (DWORD i = 0; i < chunk; ++i) fifo_.push_back(write.firstByte + write.done + i);
    write.done += chunk;
    if (write.done == write.count) {
        Complete(write, kSuccess);
        writes_.pop_front();
        StartWrites();
    }
    Shift();
}

// The shift register takes the next byte from the FIFO; once the FIFO is
// empty, the driver loads the next chunk.
void SerialDriverModel::Shift() {
    if (shifting_ || fifo_.empty()) return;
    shifting_ = fifo_.front();
    fifo_.pop_front();
    shiftEndUs_ = nowUs_ + CharUs();
    if (fifo_.empty()) LoadFifo();
}

// Ends the matching calls with "cancelled" and what they had; the next call
// on the queue starts when the current one was among them.
bool SerialDriverModel::Cancel(std::deque<Call>& queue, OVERLAPPED* record, bool all) {
    std::vector<Call> cancelled;
    bool currentCancelled = false;
    for (std::size_t i = 0; i < queue.size();) {
        if (!all && queue[i].record != record) {
            ++i;
            continue;
        }
        currentCancelled = currentCancelled || (i == 0 && cancelled.empty());
        cancelled.push_back(queue[i]);
        queue.erase(queue.begin() + static_cast<std::ptrdiff_t>(i));
    }
    for (Call& call : cancelled) Complete(call, kCancelled);
    if (currentCancelled) {
        if (&queue == &reads_) StartReads();
        else StartWrites();
    }
    return !cancelled.empty();
}

BOOL SerialDriverModel::ReadFile(HANDLE, void* into, DWORD count, OVERLAPPED* call) {
    Sync();
    ++readCalls_;
    ResetEvent(call->hEvent);
    call->Internal = kPending;
    call->InternalHigh = 0;
    Call read;
    read.record = call;
    read.into = static_cast<std::uint8_t*>(into);
    read.count = count;
    reads_.push_back(read);
    if (reads_.size() == 1) StartReads();
    if (call->Internal != kPending) return TRUE;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL SerialDriverModel::WriteFile(HANDLE, const void* bytes, DWORD count, OVERLAPPED* call) {
    Sync();
    ResetEvent(call->hEvent);
    call->Internal = kPending;
    call->InternalHigh = 0;
    const auto* from = static_cast<const char*>(bytes);
    const std::size_t first = written_.size();
    written_.append(from, count);
    wireEndUs_.resize(written_.size(), -1);
    if (frame_) frame_->bytes.append(from, count);
    Call write;
    write.kind = Kind::Write;
    write.record = call;
    write.count = count;
    write.firstByte = first;
    writes_.push_back(write);
    if (writes_.size() == 1) StartWrites();
    if (call->Internal != kPending) return TRUE;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL SerialDriverModel::GetOverlappedResult(HANDLE, OVERLAPPED* call, DWORD* count, BOOL wait) {
    Sync();
    if (call->Internal == kPending) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (!RunUntil(kForever, [call] { return call->Internal != kPending; })) Hang("GetOverlappedResult");
        AdvanceClock();
        if (call->Internal == kPending) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
    }
    *count = static_cast<DWORD>(call->InternalHigh);
    if (call->Internal == kCancelled) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    return TRUE;
}

BOOL SerialDriverModel::CancelIoEx(HANDLE, OVERLAPPED* call) {
    Sync();
    const bool all = call == nullptr;
    const bool reads = Cancel(reads_, call, all);
    const bool writes = Cancel(writes_, call, all);
    if (reads || writes) return TRUE;
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
}

BOOL SerialDriverModel::SetCommTimeouts(HANDLE, COMMTIMEOUTS* timeouts) {
    Sync();
    timeouts_ = *timeouts;
    if (variant_ == Variant::TimeoutsTakenWhenSet && !reads_.empty() && reads_.front().kind == Kind::Read)
        TakeTimeouts(reads_.front());
    return TRUE;
}

// A size the buffer already has ends at once; a larger one waits for the
// reads queued before it.
BOOL SerialDriverModel::SetupComm(HANDLE, DWORD inputSize, DWORD) {
    Sync();
    if (inputSize <= inputBufferSize) return TRUE;
    bool finished = false;
    Call queueSize;
    queueSize.kind = Kind::QueueSize;
    queueSize.queueSize = inputSize;
    queueSize.finished = &finished;
    reads_.push_back(queueSize);
    if (reads_.size() == 1) StartReads();
    if (!RunUntil(kForever, [&finished] { return finished; })) Hang("SetupComm");
    // A queue size still waiting after the hang no longer points at a caller.
    std::erase_if(reads_, [&finished](const Call& c) { return c.finished == &finished; });
    AdvanceClock();
    return TRUE;
}

BOOL SerialDriverModel::PurgeComm(HANDLE, DWORD flags) {
    Sync();
    if ((flags & PURGE_RXABORT) != 0) Cancel(reads_, nullptr, true);
    if ((flags & PURGE_TXABORT) != 0) Cancel(writes_, nullptr, true);
    if ((flags & PURGE_RXCLEAR) != 0) input_.clear();
    return TRUE;
}

BOOL SerialDriverModel::ClearCommError(HANDLE, DWORD* errors, COMSTAT* status) {
    Sync();
    if (failClearCommErrorAfterByte && byteJustRead_) {
        failClearCommErrorAfterByte = false;
        SetLastError(ERROR_IO_DEVICE);
        return FALSE;
    }
    byteJustRead_ = false;
    *errors = 0;
    *status = COMSTAT{};
    status->fCtsHold = Held() ? 1 : 0;
    status->cbInQue = static_cast<DWORD>(input_.size());
    for (const Call& write : writes_) status->cbOutQue += write.count - write.done;
    return TRUE;
}

BOOL SerialDriverModel::FlushFileBuffers(HANDLE) {
    Sync();
    bool finished = false;
    Call flush;
    flush.kind = Kind::Flush;
    flush.finished = &finished;
    writes_.push_back(flush);
    if (writes_.size() == 1) StartWrites();
    if (!RunUntil(kForever, [&finished] { return finished; })) Hang("FlushFileBuffers");
    std::erase_if(writes_, [&finished](const Call& c) { return c.finished == &finished; });
    StartWrites();
    AdvanceClock();
    return TRUE;
}

BOOL SerialDriverModel::EscapeCommFunction(HANDLE, DWORD function) {
    Sync();
    if (function == CLRDTR && dtr_) {
        dtr_ = false;
        frame_ = Frame{};
        frame_->dtrDownUs = nowUs_;
    } else if (function == SETDTR && !dtr_) {
        dtr_ = true;
        if (frame_ && !frame_->bytes.empty()) {
            frame_->dtrUpUs = nowUs_;
            frame_->lastByte = written_.size() - 1;
            frames_.push_back(*frame_);
            if (onFrame) onFrame(frame_->bytes);
        }
        frame_.reset();
    }
    return TRUE;
}

BOOL SerialDriverModel::SetCommState(HANDLE, DCB* dcb) {
    Sync();
    if (refuses && refuses(*dcb)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    dcb_ = *dcb;
    return TRUE;
}

BOOL SerialDriverModel::GetCommState(HANDLE, DCB* dcb) {
    Sync();
    *dcb = dcb_;
    return TRUE;
}

DWORD SerialDriverModel::WaitForSingleObject(HANDLE object, DWORD timeoutMs) {
    Sync();
    const std::int64_t limit = timeoutMs == INFINITE ? kForever : nowUs_ + std::int64_t{timeoutMs} * 1000;
    const bool set = RunUntil(limit, [object] { return Set(object); });
    if (!set && timeoutMs == INFINITE) Hang("WaitForSingleObject");
    AdvanceClock();
    return set ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

void SerialDriverModel::Sleep(DWORD ms) {
    Sync();
    RunUntil(nowUs_ + std::int64_t{ms} * 1000, [] { return false; });
    AdvanceClock();
}

// A current one-byte read ends with the next byte to arrive or with its
// time-outs; one queued behind another is not foreseen.
std::optional<std::int64_t> SerialDriverModel::EventSetAtMs(HANDLE event) {
    Sync();
    if (Set(event)) return clock_.NowMs();
    if (reads_.empty() || reads_.front().record == nullptr || reads_.front().record->hEvent != event) return std::nullopt;
    std::optional<std::int64_t> at = ReadEndUs();
    if (!arrivals_.empty()) at = at ? std::min(*at, arrivals_.begin()->first) : arrivals_.begin()->first;
    if (!at) return std::nullopt;
    return (*at + 999) / 1000;
}
