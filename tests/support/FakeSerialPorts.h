// A recording stand-in for the machine's serial ports, in virtual time.
//
// Every call the driver makes is recorded as a short text ("open 2",
// "purge in out", "dtr 0", ...). Bytes the driver writes collect in
// `written`; bytes for the driver to read are scheduled with Arrive() and
// become readable once the virtual clock reaches their time. The output queue
// can be made to stall, and the device can be made to disappear. Why an open
// failed and the faults met are told as the system's would be.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/SerialPort.h"
#include "platform/TimeSource.h"

class FakeSerialPorts final : public SerialPorts {
public:
    explicit FakeSerialPorts(VirtualTime& time) : time_(time) {}

    std::unique_ptr<SerialPort> Open(int portNumber) override;
    std::string Describe(int portNumber) override { return "/dev/fake" + std::to_string(portNumber); }
    OpenFailure LastOpenFailure() override { return openFailure_; }

    void Arrive(std::int64_t atMs, std::string bytes) { arrivals_.emplace(atMs, std::move(bytes)); }
    // Bytes that have arrived by now and not been read yet.
    std::string& Readable() {
        for (auto due = arrivals_.begin(); due != arrivals_.end() && due->first <= time_.NowMs();) {
            readable_ += due->second;
            due = arrivals_.erase(due);
        }
        return readable_;
    }

    std::set<int> missing;              // ports that cannot be opened
    std::vector<std::string> calls;     // what the driver did, in order
    std::string written;                // every byte written, in order
    std::vector<std::int64_t> writeTimes;
    CommState state;                    // the last line setting written
    std::optional<CommState> forced;    // what the device keeps of any setting, when not all of it
    bool dtr = false;
    std::uint32_t queued = 0;           // bytes reported waiting in the output queue
    std::size_t takesPerWrite = SIZE_MAX;  // 0 stalls the line
    std::int64_t drainMs = 0;           // how long written bytes take to leave the port
    bool gone = false;                  // the device has disappeared
    int openPorts = 0;
    int reads = 0;                      // read calls the driver made
    std::function<void(const std::string& bytes)> onWrite;  // a station's behaviour

private:
    friend class FakeSerialPort;
    VirtualTime& time_;
    std::multimap<std::int64_t, std::string> arrivals_;
    std::string readable_;
    OpenFailure openFailure_;
};

class FakeSerialPort final : public SerialPort, public Waitable {
public:
    explicit FakeSerialPort(FakeSerialPorts& line) : line_(line) { ++line_.openPorts; }
    ~FakeSerialPort() override {
        --line_.openPorts;
        line_.calls.push_back("close");
    }
    void SetState(const CommState& state) override {
        line_.state = state;
        line_.dtr = state.dtrEnable;
        line_.calls.push_back("state");
    }
    void SetQueueSizes(std::uint16_t input, std::uint16_t output) override {
        line_.calls.push_back("queues " + std::to_string(input) + " " + std::to_string(output));
    }
    void SetTimeouts(const CommTimeouts& t) override {
        line_.calls.push_back("timeouts " + std::to_string(t.readInterval) + " " +
                              std::to_string(t.readTotalMultiplier) + " " + std::to_string(t.readTotalConstant) +
                              " " + std::to_string(t.writeTotalMultiplier) + " " +
                              std::to_string(t.writeTotalConstant));
    }
    void Purge(bool input, bool output) override {
        if (input) line_.Readable().clear();
        line_.calls.push_back(std::string("purge") + (input ? " in" : "") + (output ? " out" : ""));
    }
    std::uint32_t OutputQueued() override { return line_.queued; }
    void SetDtr(bool raised) override {
        line_.dtr = raised;
        line_.calls.push_back(raised ? "dtr 1" : "dtr 0");
    }
    bool Read(void* into, std::size_t capacity, std::size_t& got) override {
        ++line_.reads;
        got = 0;
        if (line_.gone) return Gone("the terminal hung up");
        std::string& readable = line_.Readable();
        got = std::min(capacity, readable.size());
        std::memcpy(into, readable.data(), got);
        readable.erase(0, got);
        return true;
    }
    std::size_t Write(const void* bytes, std::size_t count) override {
        if (line_.gone) return Gone("Input/output error");
        const std::size_t taken = std::min(count, line_.takesPerWrite);
        if (taken == 0) return 0;
        const std::string chunk(static_cast<const char*>(bytes), taken);
        line_.written += chunk;
        line_.writeTimes.push_back(line_.time_.NowMs());
        line_.calls.push_back("write " + std::to_string(taken));
        if (line_.onWrite) line_.onWrite(chunk);
        return taken;
    }
    bool WaitWritable(std::int64_t timeoutMs) override {
        if (line_.gone) return Gone("Input/output error");
        line_.calls.push_back("wait " + std::to_string(timeoutMs));
        line_.time_.Advance(std::max<std::int64_t>(timeoutMs, 0));
        return true;
    }

    Waitable* Input() override { return this; }
    int Descriptor() override { return -1; }
    // A vanished device is always ready, as a hung-up descriptor is.
    std::optional<std::int64_t> ReadyAtMs() override {
        if (line_.gone || !line_.Readable().empty()) return line_.time_.NowMs();
        if (line_.arrivals_.empty()) return std::nullopt;
        return line_.arrivals_.begin()->first;
    }
    bool Drain(std::int64_t timeoutMs) override {
        line_.calls.push_back("drain " + std::to_string(timeoutMs));
        if (line_.gone) return Gone("Input/output error");
        line_.time_.Advance(std::clamp<std::int64_t>(line_.drainMs, 0, std::max<std::int64_t>(timeoutMs, 0)));
        if (line_.drainMs <= timeoutMs) return true;
        fault_ = PortFault{PortFault::Reason::DrainCutShort, "Interrupted system call"};
        return false;
    }
    std::optional<CommState> StateInForce() override { return line_.forced.value_or(line_.state); }
    std::optional<PortFault> TakeFault() override { return std::exchange(fault_, std::nullopt); }

private:
    // A vanished device fails each call, in words that vary with the call.
    bool Gone(const char* message) {
        fault_ = PortFault{PortFault::Reason::DeviceGone, message};
        return false;
    }

    FakeSerialPorts& line_;
    std::optional<PortFault> fault_;
};

inline std::unique_ptr<SerialPort> FakeSerialPorts::Open(int portNumber) {
    calls.push_back("open " + std::to_string(portNumber));
    if (missing.count(portNumber) != 0) {
        openFailure_ = {OpenFailure::Reason::Missing, "No such file or directory", ""};
        return nullptr;
    }
    if (openPorts > 0) {
        openFailure_ = {OpenFailure::Reason::Busy, "Resource temporarily unavailable", ""};
        return nullptr;
    }
    return std::make_unique<FakeSerialPort>(*this);
}
