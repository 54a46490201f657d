#include "poll/LineTrace.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "poll/Startup.h"
#include "serial/Sarja1_u.h"

namespace {

// A port that does what the real one does and tells the trace what went
// through it.
class TracedPort final : public SerialPort {
public:
    TracedPort(std::unique_ptr<SerialPort> port, LineTrace& trace) : port_(std::move(port)), trace_(trace) {}

    void SetState(const CommState& state) override { port_->SetState(state); }
    void SetQueueSizes(std::uint16_t input, std::uint16_t output) override { port_->SetQueueSizes(input, output); }
    void SetTimeouts(const CommTimeouts& timeouts) override { port_->SetTimeouts(timeouts); }
    void Purge(bool input, bool output) override { port_->Purge(input, output); }
    std::uint32_t OutputQueued() override { return port_->OutputQueued(); }
    void SetDtr(bool raised) override { port_->SetDtr(raised); }
    bool WaitWritable(std::int64_t timeoutMs) override { return port_->WaitWritable(timeoutMs); }
    bool Drain(std::int64_t timeoutMs) override { return port_->Drain(timeoutMs); }
    Waitable* Input() override { return port_->Input(); }

    bool Read(void* into, std::size_t capacity, std::size_t& got) override {
        const bool ok = port_->Read(into, capacity, got);
        if (ok && got > 0) trace_.Received(std::string_view(static_cast<const char*>(into), got));
        return ok;
    }
    std::size_t Write(const void* bytes, std::size_t count) override {
        const std::size_t taken = port_->Write(bytes, count);
        if (taken > 0) trace_.Sent(std::string_view(static_cast<const char*>(bytes), taken));
        return taken;
    }

private:
    std::unique_ptr<SerialPort> port_;
    LineTrace& trace_;
};

class TracedPorts final : public SerialPorts {
public:
    TracedPorts(SerialPorts& ports, LineTrace& trace) : ports_(ports), trace_(trace) {}
    std::unique_ptr<SerialPort> Open(int portNumber) override {
        auto port = ports_.Open(portNumber);
        if (!port) return nullptr;
        return std::make_unique<TracedPort>(std::move(port), trace_);
    }

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

}  // namespace

void LineTrace::Sent(std::string_view bytes) { Write("sent", DisplayText(bytes)); }
void LineTrace::Received(std::string_view bytes) { Write("received", DisplayText(bytes)); }

// The result line without its line end, if it has one.
void LineTrace::Result(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    Write("result", line);
}

void LineTrace::Write(std::string_view what, std::string_view text) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%7lld ", static_cast<long long>(loop_.NowMs() - startMs_));
    std::string line = stamp;
    line += what;
    line.append(9 - what.size(), ' ');
    line += text;
    line += '\n';
    file_.WriteAndFlush(line);
}

void RunTracedTool(const std::vector<std::string>& parameters, EventLoop& loop, TextOutput& output,
                   SerialPorts& ports, TextOutput& traceFile) {
    LineTrace trace(loop, traceFile);
    TracedPorts tracedPorts(ports, trace);
    TracedOutput tracedOutput(output, trace);
    RunTool(parameters, loop, tracedOutput, tracedPorts);
}
