// TraceLine: one line of scalepoll's line trace taken apart, without any
// input or output, so a report can be built from a file of any size and the
// parsing tested on plain strings.
//
// A trace line is "<ms, 7 columns> <kind, 9 columns><body>": the milliseconds
// since the run started, the kind of line and its body. Since format 2 a run
// mark and a blank come first ("r27709-9f3c01ab "), naming the run that wrote
// the line, so that runs appending to one file at once stay apart. The
// bodies of the newer kinds are blank-separated tokens, key=value pairs among
// them, with any free text last after " -- ". LineSplitter cuts a stream of
// bytes into lines and tells a line cut off at the end of the stream apart.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

enum class TraceKind {
    Run, Port, Open, Settings, Fault, Trigger, Request, Reply, Timeout, Sent, Received, Result, Dropped,
};

struct TraceLine {
    std::string_view mark;  // the run mark; empty on a line from before format 2
    std::int64_t ms = 0;  // 0 for the file writer's "dropped" lines, which carry no time
    TraceKind kind = TraceKind::Run;
    std::string_view body;
};

// The line without its line end, or nothing when it is not a trace line of a
// known kind.
std::optional<TraceLine> ParseTraceLine(std::string_view line);

// A body's tokens, in order, and its free text (empty when there is none).
// The body is read once, up to its first kMostTokens tokens: no line kind
// has more, and a hostile line of many blanks costs no more than its length.
// An empty token (two blanks in a row) ends the tokens.
class Tokens {
public:
    static constexpr std::size_t kMostTokens = 24;

    explicit Tokens(std::string_view body);

    // The n-th token before the free text (from 0), or empty past the last.
    std::string_view At(std::size_t n) const { return n < count_ ? tokens_[n] : std::string_view(); }
    std::size_t Count() const { return count_; }
    // The value of the first token "key=value", or nothing.
    std::optional<std::string_view> Value(std::string_view key) const;
    std::string_view FreeText() const { return freeText_; }

private:
    std::array<std::string_view, kMostTokens> tokens_;
    std::string_view freeText_;
    std::size_t count_ = 0;
};

// True for a run mark: 'r', the process id in decimal, '-', 8 lower-case hex
// digits.
bool IsRunMark(std::string_view text);

// A whole decimal number from first to last character within [low, high].
std::optional<std::int64_t> WholeNumberIn(std::string_view text, std::int64_t low, std::int64_t high);

// Speed and bits per character of the line, for how long bytes take on it.
struct LinePace {
    std::int64_t speed = 9600;
    int bitsPerByte = 10;
    double Ms(std::size_t bytes) const { return static_cast<double>(bytes) * bitsPerByte * 1000.0 / static_cast<double>(speed); }
};

// The pace a run line's parameters ask for, or the one a settings line says
// is in force; nothing for other lines, or settings not understood.
std::optional<LinePace> PaceIn(TraceKind kind, std::string_view body);

// "2026-12-11T05:57:50.123Z" as milliseconds since 1970 (UTC), and back.
std::optional<std::int64_t> ParseUtcTime(std::string_view text);
std::string FormatUtcTime(std::int64_t msSinceEpoch);

// Cuts bytes, fed in chunks of any size, into lines without their LF (and
// without a CR before it). A line longer than kLongestLine reaches the
// callback cut to that length, so memory stays bounded whatever the file holds.
class LineSplitter {
public:
    using LineCallback = std::function<void(std::string_view)>;
    static constexpr std::size_t kLongestLine = 64 * 1024;

    explicit LineSplitter(LineCallback onLine) : onLine_(std::move(onLine)) {}

    void Feed(std::string_view bytes);
    // True when the stream ended in the middle of a line, which is dropped.
    bool EndedMidLine() const { return !pending_.empty() || overlong_; }

private:
    void Take(std::string_view piece);
    void Complete();

    LineCallback onLine_;
    std::string pending_;
    bool overlong_ = false;
};
