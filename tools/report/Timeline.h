// Timeline: one run of a line trace drawn as an SVG picture with time across,
// so that a gap on the line or a late answer can be seen: DTR while the port
// is open, dipping around each frame as it goes out (and held low through a
// stalled send), the frames sent and the bytes received, and per station
// each try from its request to where it ended (its verdict, its timeout, or
// the next request), with the replies not taken while it was asked. Labels
// are stacked, or a run of the same kind merged into one with a count, so
// none overlaps another; hovering any mark shows its whole trace line.
//
// The picture's size is bounded per trace line: a few elements per line,
// each with its line at most a few times, and a time axis of at most a dozen
// ticks whatever the times say.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/report/RunSorter.h"
#include "tools/report/TraceTally.h"

struct TimelineEvent {
    std::int64_t ms;
    TraceKind kind;
    std::string text;        // the whole trace line
    std::size_t bodyAt = 0;  // where its body begins in text

    std::string_view Body() const { return std::string_view(text).substr(bodyAt); }
};

struct TimelineRun {
    std::uint64_t number = 0;  // from 1, in the order of the trace
    std::vector<TimelineEvent> events;
    std::uint64_t eventsLeftOut = 0;  // beyond kMostEvents or kMostKeptBytes
    std::size_t keptBytes = 0;
};

// Picks the lines of one run out of a trace read line by line.
class TimelineCollector {
public:
    static constexpr std::size_t kMostEvents = 20000;
    // Lines are kept whole, for hovering; a run of more, or longer, lines
    // than this has its later lines left out (and says so).
    static constexpr std::size_t kMostKeptBytes = 16 * 1024 * 1024;

    explicit TimelineCollector(std::uint64_t runNumber) { run_.number = runNumber; }

    void Add(std::string_view line);
    // The run has been read whole: its result line came, or the next one began.
    bool Done() const { return done_; }
    bool Found() const { return sorter_.RunsSeen() >= run_.number; }
    std::uint64_t RunsSeen() const { return sorter_.RunsSeen(); }
    const TimelineRun& Run() const { return run_; }

private:
    RunSorter sorter_;
    bool done_ = false;
    TimelineRun run_;
};

std::string TimelineSvg(const TimelineRun& run);

// The text for an SVG text node or attribute value: markup characters as
// entities, bytes that are not printable ASCII as '?'.
std::string XmlText(std::string_view text);

// How many bytes a line's bytes in the display text form stand for: "<n>" is
// one byte, any other character one.
std::size_t DisplayByteCount(std::string_view text);
