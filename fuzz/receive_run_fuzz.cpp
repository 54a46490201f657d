// Whole weighing runs in virtual time fed arbitrary received chunks. After
// every chunk the reply buffer holds at most kReplyBufferLimit bytes, and the
// run ends within the longest possible run with exactly one result line: "0;"
// and one "n,s,w" group per selected station in ascending order, or exactly
// "2;Modem error". The line trace watches the run: each of its lines ends in
// one line feed and holds no other control byte, whatever arrived.
//
// Input: two bytes of station selection (little-endian, bit 0 is station 1,
// bit 13 station 14), then chunks, each a two-byte delay in ms after the
// previous chunk (little-endian), a length byte, and up to that many bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/Require.h"
#include "poll/Frames.h"
#include "poll/LineTrace.h"
#include "poll/Unit1.h"
#include "tests/support/ScriptedLine.h"

namespace {

constexpr std::int64_t kLongestRunMs = kPollIntervalMs + kStationCount * kMaxTries * kPollIntervalMs;

class InputReader {
public:
    InputReader(const std::uint8_t* data, std::size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}
    bool Empty() const { return rest_.empty(); }
    unsigned Byte() {
        if (rest_.empty()) return 0;
        const auto byte = static_cast<std::uint8_t>(rest_.front());
        rest_.remove_prefix(1);
        return byte;
    }
    unsigned TwoBytes() {
        const unsigned low = Byte();
        return low | Byte() << 8;
    }
    std::string Bytes(std::size_t count) {
        const std::string_view taken = rest_.substr(0, count);
        rest_.remove_prefix(taken.size());
        return std::string(taken);
    }

private:
    std::string_view rest_;
};

// Hands each chunk to the form and checks the reply buffer right after.
class CheckedReceiver final : public ChunkReceiver {
public:
    explicit CheckedReceiver(TForm1& form) : form_(form) {}
    void SarjaTulo(const std::string& chunk) override {
        form_.SarjaTulo(chunk);
        Require(form_.ReplyBuffer().size() <= frame::kReplyBufferLimit, "reply buffer within its limit");
    }

private:
    TForm1& form_;
};

// A decimal number as std::to_string writes it: optional "-", no leading zero.
bool CanonicalDecimal(std::string_view text) {
    if (!text.empty() && text.front() == '-') text.remove_prefix(1);
    if (text.empty() || text.size() > 10 || (text.front() == '0' && text.size() > 1)) return false;
    return text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool WellFormedGroup(std::string_view group, int station) {
    const std::string prefix = std::to_string(station) + ",";
    if (group.substr(0, prefix.size()) != prefix) return false;
    group.remove_prefix(prefix.size());
    if (group.size() < 3 || (group[0] != '0' && group[0] != '1') || group[1] != ',') return false;
    const std::string_view weight = group.substr(2);
    // A station without an accepted reply has the weight 0.
    return CanonicalDecimal(weight) && (group[0] == '0' || weight == "0");
}

bool WellFormedResult(std::string_view line, const std::vector<int>& selected) {
    if (line == "2;Modem error") return true;
    if (line.substr(0, 2) != "0;") return false;
    line.remove_prefix(2);
    for (std::size_t k = 0; k < selected.size(); ++k) {
        if (k > 0) {
            if (line.empty() || line.front() != ';') return false;
            line.remove_prefix(1);
        }
        const std::size_t end = line.find(';');
        if (!WellFormedGroup(line.substr(0, end), selected[k])) return false;
        line.remove_prefix(end == std::string_view::npos ? line.size() : end);
    }
    return line.empty();
}

// Every line ends in a line feed, and no other control byte is in any.
bool OneLineEach(std::string_view trace) {
    if (!trace.empty() && trace.back() != '\n') return false;
    for (const char ch : trace) {
        const auto code = static_cast<std::uint8_t>(ch);
        if ((code < 32 && ch != '\n') || code == 127) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputReader input(data, size);
    VirtualTime time;
    EventLoop loop(time);
    ScriptedLine line(loop);
    CapturedOutput output(loop);
    CapturedOutput traceFile(loop);
    LineTrace trace(loop, traceFile, "r1-00000000");
    TForm1 form(loop, line, output, trace);
    CheckedReceiver receiver(form);
    line.receiver = &receiver;
    IntervalTimer overdue(loop, kLongestRunMs + 1, [] { Require(false, "the run ends in time"); });

    const unsigned selection = input.TwoBytes();
    std::vector<int> selected;
    for (int station = 1; station <= kStationCount; ++station) {
        if ((selection >> (station - 1) & 1u) == 0) continue;
        form.SelectStation(station);
        selected.push_back(station);
    }
    std::int64_t atMs = 0;
    while (!input.Empty()) {
        atMs += input.TwoBytes();
        const std::size_t length = input.Byte();
        line.At(atMs, input.Bytes(length));
    }

    overdue.Enable();
    form.PunnitusClick();
    loop.Run();
    Require(output.writes == 1, "exactly one result line");
    Require(output.writtenAtMs <= kLongestRunMs, "the result line is written in time");
    Require(WellFormedResult(output.Text(), selected), "the result line is well formed");
    Require(OneLineEach(traceFile.Text()), "each trace line is one line");
    return 0;
}
