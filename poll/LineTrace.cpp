#include "poll/LineTrace.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <utility>

#include "poll/Frames.h"
#include "ScalepollVersion.h"
#include "poll/Startup.h"
#include "serial/Sarja1_u.h"
#include "text/JonoKasi2.h"

namespace {

// A port that does what the real one does and tells the trace what went
// through it, what settings it keeps and what went wrong.
class TracedPort final : public SerialPort {
public:
    TracedPort(std::unique_ptr<SerialPort> port, LineTrace& trace) : port_(std::move(port)), trace_(trace) {}

    void SetState(const CommState& state) override {
        port_->SetState(state);
        trace_.Settings(state, port_->StateInForce());
    }
    void SetQueueSizes(std::uint16_t input, std::uint16_t output) override { port_->SetQueueSizes(input, output); }
    void SetTimeouts(const CommTimeouts& timeouts) override { port_->SetTimeouts(timeouts); }
    void Purge(bool input, bool output) override { port_->Purge(input, output); }
    std::uint32_t OutputQueued() override { return port_->OutputQueued(); }
    void SetDtr(bool raised) override { port_->SetDtr(raised); }
    bool WaitWritable(std::int64_t timeoutMs) override { return Noted(port_->WaitWritable(timeoutMs)); }
    bool Drain(std::int64_t timeoutMs) override { return Noted(port_->Drain(timeoutMs)); }
    Waitable* Input() override { return port_->Input(); }
    std::optional<CommState> StateInForce() override { return port_->StateInForce(); }
    std::optional<PortFault> TakeFault() override { return port_->TakeFault(); }

    bool Read(void* into, std::size_t capacity, std::size_t& got) override {
        const bool ok = port_->Read(into, capacity, got);
        if (ok && got > 0) trace_.Received(std::string_view(static_cast<const char*>(into), got));
        return Noted(ok);
    }
    std::size_t Write(const void* bytes, std::size_t count) override {
        const std::size_t taken = port_->Write(bytes, count);
        if (taken > 0) trace_.Sent(std::string_view(static_cast<const char*>(bytes), taken));
        return Noted(taken);
    }

private:
    // Each kind of fault is told once: a gone device fails every read tick
    // and every write, in words that vary with the call, and one line says so.
    template <typename Result>
    Result Noted(Result result) {
        if (auto fault = port_->TakeFault(); fault && told_.insert(fault->reason).second) trace_.Fault(*fault);
        return result;
    }

    std::unique_ptr<SerialPort> port_;
    LineTrace& trace_;
    std::set<PortFault::Reason> told_;
};

class TracedPorts final : public SerialPorts {
public:
    TracedPorts(SerialPorts& ports, LineTrace& trace) : ports_(ports), trace_(trace) {}
    std::unique_ptr<SerialPort> Open(int portNumber) override {
        trace_.Port(portNumber, ports_.Describe(portNumber));
        auto port = ports_.Open(portNumber);
        if (!port) {
            trace_.OpenFailed(ports_.LastOpenFailure());
            return nullptr;
        }
        trace_.Opened();
        return std::make_unique<TracedPort>(std::move(port), trace_);
    }
    std::string Describe(int portNumber) override { return ports_.Describe(portNumber); }
    OpenFailure LastOpenFailure() override { return ports_.LastOpenFailure(); }

private:
    SerialPorts& ports_;
    LineTrace& trace_;
};

class TracedOutput final : public TextOutput {
public:
    TracedOutput(TextOutput& output, LineTrace& trace) : output_(output), trace_(trace) {}
    void WriteAndFlush(std::string_view text) override {
        output_.WriteAndFlush(text);
        trace_.Result(text);
    }

private:
    TextOutput& output_;
    LineTrace& trace_;
};


// A parameter as one token: the display text form, an empty one as "".
std::string Token(std::string_view text) { return text.empty() ? std::string("\"\"") : DisplayText(text); }

const char* ParityName(std::uint8_t parity) {
    constexpr const char* kNames[] = {"None", "Odd", "Even", "Mark", "Space"};
    return parity < std::size(kNames) ? kNames[parity] : "?";
}

const char* StopBitsText(std::uint8_t stopBits) {
    constexpr const char* kTexts[] = {"1", "1.5", "2"};
    return stopBits < std::size(kTexts) ? kTexts[stopBits] : "?";
}

// "9600 8 None 1"
std::string LineSettingsText(const CommState& state) {
    return std::to_string(state.baudRate) + ' ' + std::to_string(state.byteSize) + ' ' + ParityName(state.parity) +
           ' ' + StopBitsText(state.stopBits);
}

// "speed=19200 parity=Mark" for each setting the device does not keep.
std::string RefusedSettings(const CommState& asked, const CommState& kept) {
    std::string refused;
    const auto add = [&refused](const char* name, const std::string& value) {
        refused.append(1, ' ').append(name).append(1, '=').append(value);
    };
    if (asked.baudRate != kept.baudRate) add("speed", std::to_string(asked.baudRate));
    if (asked.byteSize != kept.byteSize) add("data", std::to_string(asked.byteSize));
    if (asked.parity != kept.parity) add("parity", ParityName(asked.parity));
    if (asked.stopBits != kept.stopBits) add("stop", StopBitsText(asked.stopBits));
    return refused;
}

std::string StationToken(std::string_view frame) {
    const auto station = AddressedStation(frame);
    return station ? " station=" + std::to_string(*station) : "";
}

// What a technician needs to see of three readings: weight texts, marks and
// divisions, "?" where a reading could not be read.
std::string ReadingsText(const ReplyReadings& readings) {
    std::string weights;
    std::string marks;
    std::string divisions;
    for (const Reading& reading : readings) {
        weights += ' ' + (reading.weight.empty() ? std::string("?") : DisplayText(reading.weight));
        marks += ' ' + reading.mark;
        divisions += ' ' + (reading.division.empty() ? std::string("?") : reading.division);
    }
    return "readings" + weights + "; marks" + marks + "; divisions" + divisions;
}

}  // namespace

// Free text after " -- ": the system's words as they are, but never a
// control byte, so that a line stays one line.
std::string FreeText(std::string_view text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    std::string clean;
    for (const char ch : text) {
        const auto code = static_cast<std::uint8_t>(ch);
        if (code < 32 || code == 127) clean.append(1, '<').append(std::to_string(code)).append(1, '>');
        else clean += ch;
    }
    return clean;
}

const char* OpenReasonWord(OpenFailure::Reason reason) {
    switch (reason) {
        case OpenFailure::Reason::Permission: return "permission";
        case OpenFailure::Reason::Busy: return "busy";
        case OpenFailure::Reason::Missing: return "missing";
        case OpenFailure::Reason::Refused: return "refused";
        case OpenFailure::Reason::NoAnswer: return "no-answer";
        case OpenFailure::Reason::Other: break;
    }
    return "other";
}

const char* FaultWord(PortFault::Reason reason) {
    switch (reason) {
        case PortFault::Reason::DeviceGone: return "device-gone";
        case PortFault::Reason::DrainCutShort: return "drain-cut-short";
        case PortFault::Reason::ClosedByServer: return "closed-by-server";
        case PortFault::Reason::WriteFailed: return "write-failed";
        case PortFault::Reason::ReadFailed: break;
    }
    return "read-failed";
}

std::string UtcText(std::chrono::system_clock::time_point at) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(at);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss time{ms - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

std::string RunMark(unsigned long processId, std::uint32_t nonce) {
    char mark[40];
    std::snprintf(mark, sizeof mark, "r%lu-%08x", processId, static_cast<unsigned>(nonce));
    return mark;
}

void LineTrace::Run(std::chrono::system_clock::time_point startedAt, const std::vector<std::string>& parameters) {
    std::string body = UtcText(startedAt) + " scalepoll " + std::string(kScalepollVersion);
    for (const std::string& parameter : parameters) body += ' ' + Token(parameter);
    WriteAt(0, "run", body);  // the run's own start, however long the clock took to get here
}

void LineTrace::Port(int portNumber, std::string_view standsFor) {
    Write("port", "COM" + std::to_string(portNumber) + ' ' + Token(standsFor));
}

void LineTrace::Opened() { Write("open", "ok"); }

void LineTrace::OpenFailed(const OpenFailure& failure) {
    std::string body = std::string("failed ") + OpenReasonWord(failure.reason) + " -- " + FreeText(failure.message);
    if (!failure.hint.empty()) body += "; " + FreeText(failure.hint);
    Write("open", body);
}

// A port that cannot tell its settings back writes no settings line: what
// it keeps is not known.
void LineTrace::Settings(const CommState& asked, const std::optional<CommState>& inForce) {
    if (!inForce) return;
    const std::string refused = RefusedSettings(asked, *inForce);
    if (refused.empty()) {
        Write("settings", LineSettingsText(*inForce));
    } else {
        Write("settings", "refused" + refused + " -- in force " + LineSettingsText(*inForce));
    }
}

void LineTrace::Fault(const PortFault& fault) {
    Write("fault", std::string(FaultWord(fault.reason)) + " -- " + FreeText(fault.message));
}

void LineTrace::Sent(std::string_view bytes) { Write("sent", DisplayText(bytes)); }
void LineTrace::Received(std::string_view bytes) { Write("received", DisplayText(bytes)); }

// The result line without its line end, if it has one.
void LineTrace::Result(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    Write("result", line);
}

void LineTrace::TriggerSending(std::int32_t sequenceNumber) {
    Write("trigger", "sequence=" + std::to_string(sequenceNumber));
}

void LineTrace::RequestSending(int station, std::int32_t tryNumber) {
    bytesBeforeRequest_ = bufferBytes_;
    Write("request", "station=" + std::to_string(station) + " try=" + std::to_string(tryNumber));
}

void LineTrace::TryTimedOut(int station, std::int32_t tryNumber) {
    std::string body = "station=" + std::to_string(station) + " try=" + std::to_string(tryNumber);
    if (const std::size_t arriving = bufferBytes_ - bytesBeforeRequest_; arriving > 0)
        body += " arriving=" + std::to_string(arriving);
    Write("timeout", body);
}

void LineTrace::FrameSearch(std::string_view buffer) {
    bufferBytes_ = buffer.size();
    for (const std::size_t at : FramesWithWrongChecksum(buffer, checksumSearchFrom_)) {
        const std::string_view frame = buffer.substr(at, frame::kReplySize);
        Write("reply", "not-taken reason=checksum" + StationToken(frame) + " -- checksum " +
                           std::to_string(static_cast<std::uint8_t>(frame[35])) + ", the frame needs " +
                           std::to_string(static_cast<std::uint8_t>(LasCrC(frame.substr(0, 35)))));
    }
    if (buffer.size() >= frame::kReplySize) checksumSearchFrom_ = buffer.size() - frame::kReplySize + 1;
}

// The stations whose whole, good reply frames went with the dropped bytes:
// they answered, and the 112-byte rule threw the answer away.
void LineTrace::BufferDropped(std::string_view bytes) {
    std::set<int> held;
    for (const std::size_t at : ReplyFramesIn(bytes))
        if (const auto station = AddressedStation(bytes.substr(at, frame::kReplySize))) held.insert(*station);
    const std::string limit = std::to_string(frame::kReplyBufferLimit);
    std::string dropped = "dropped bytes=";
    dropped += std::to_string(bytes.size());
    if (held.empty()) {
        Reply(dropped + " held=none -- no reply frame within " + limit + " bytes");
        return;
    }
    std::string stations;
    for (const int station : held) {
        if (!stations.empty()) stations += ',';
        stations += std::to_string(station);
    }
    Reply(dropped + " held=" + stations + " -- more than " + limit + " bytes before the search; they held " +
          (held.size() == 1 ? "a whole reply frame" : "whole reply frames"));
}

void LineTrace::OtherRunsReply(std::string_view frame, std::int32_t runsSequenceNumber) {
    Reply("not-taken reason=sequence" + StationToken(frame) + " -- sequence " + DisplayText(frame.substr(3, 2)) +
          ", this run's " + IntToHexText(runsSequenceNumber, 2));
}

void LineTrace::NoStationAddressed(std::string_view frame) {
    Reply("not-taken reason=address -- address " + DisplayText(frame.substr(2, 1)) + " names no station 1 to 14");
}

void LineTrace::ReplyRecorded(int station, std::int32_t tryNumber, const ReplyReadings& readings,
                              std::int32_t weight, bool settled, bool checkFailed) {
    const std::string who = "station=" + std::to_string(station) + " try=" + std::to_string(tryNumber);
    const auto failure = checkFailed ? ExplainReadingCheck(readings) : std::nullopt;
    if (!failure) {
        Reply("taken " + who + " weight=" + std::to_string(weight) + " settled=" + (settled ? "yes" : "no"));
        return;
    }
    std::string verdict = "modem-error " + who + " cause=" + failure->cause;
    if (failure->reading != 0) verdict += " reading=" + std::to_string(failure->reading);
    Reply(verdict + " -- " + ReadingsText(readings));
}

// A verdict empties the reply buffer: the search for wrong checksums starts
// again at its front, and no byte waits in it.
void LineTrace::Reply(const std::string& verdict) {
    checksumSearchFrom_ = 0;
    bufferBytes_ = 0;
    bytesBeforeRequest_ = 0;
    Write("reply", verdict);
}

void LineTrace::Write(std::string_view kind, std::string_view body) { WriteAt(loop_.NowMs() - startMs_, kind, body); }

void LineTrace::WriteAt(std::int64_t elapsedMs, std::string_view kind, std::string_view body) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, " %7lld ", static_cast<long long>(elapsedMs));
    std::string line = runMark_ + stamp;
    line += kind;
    line.append(kind.size() < 9 ? 9 - kind.size() : 1, ' ');
    line += body;
    line += '\n';
    file_.WriteAndFlush(line);
}

void RunTracedTool(const std::vector<std::string>& parameters, EventLoop& loop, TextOutput& output,
                   SerialPorts& ports, TextOutput& traceFile, const std::string& runMark,
                   std::chrono::system_clock::time_point startedAt) {
    LineTrace trace(loop, traceFile, runMark);
    trace.Run(startedAt, parameters);
    TracedPorts tracedPorts(ports, trace);
    TracedOutput tracedOutput(output, trace);
    RunTool(parameters, loop, tracedOutput, tracedPorts, trace);
}
