// A scripted serial line in place of the link front: it records every frame
// the poll cycle sends, with its virtual time, and delivers received chunks
// to the poll cycle at chosen times through the event loop, as the serial
// driver's read timer would.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/TextOutput.h"
#include "serial/Link.h"

class ScriptedLine final : public FrameLink {
public:
    struct Sent {
        std::int64_t atMs;
        std::string frame;
    };

    explicit ScriptedLine(EventLoop& loop) : loop_(loop), delivery_(loop, 0, [this] { Deliver(); }) {}

    void Lahetys(const std::string& frame) override {
        sent.push_back({loop_.NowMs(), frame});
        if (onFrame) onFrame(frame);
    }

    // The chunk arrives at the given time (several at one time keep their order).
    void At(std::int64_t atMs, std::string chunk) {
        pending_.emplace(atMs, std::move(chunk));
        Schedule();
    }
    void After(std::int64_t delayMs, std::string chunk) { At(loop_.NowMs() + delayMs, std::move(chunk)); }

    ChunkReceiver* receiver = nullptr;
    std::function<void(const std::string& frame)> onFrame;  // a station's behaviour
    std::vector<Sent> sent;

private:
    void Schedule() {
        if (pending_.empty()) {
            delivery_.Disable();
            return;
        }
        delivery_.SetInterval(std::max<std::int64_t>(0, pending_.begin()->first - loop_.NowMs()));
        delivery_.Enable();
    }
    void Deliver() {
        const auto due = pending_.begin();
        const std::string chunk = due->second;
        pending_.erase(due);
        Schedule();
        receiver->SarjaTulo(chunk);
    }

    EventLoop& loop_;
    IntervalTimer delivery_;
    std::multimap<std::int64_t, std::string> pending_;
};

// Captures the result line and when it was written.
class CapturedOutput final : public TextOutput {
public:
    explicit CapturedOutput(EventLoop& loop) : loop_(loop) {}
    void WriteAndFlush(std::string_view text) override {
        text_ += text;
        writtenAtMs = loop_.NowMs();
        ++writes;
    }
    const std::string& Text() const { return text_; }
    std::int64_t writtenAtMs = -1;
    int writes = 0;

private:
    EventLoop& loop_;
    std::string text_;
};
