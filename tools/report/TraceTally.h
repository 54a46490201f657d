// TraceTally: counts over a whole line trace, read in one pass, for the
// report a technician or a site's program reads: how many runs and when,
// their result lines, and per line (the device or device server a port's
// `port` line names) its opens and failures and each of its stations'
// requests, answers, late answers, silences, line failures and rejected
// replies with their answer times. Station 3 of one line is not station 3
// of another, and a request the line never sent is not the station's fault.
//
// Memory stays the same whatever the length of the trace: per station a
// histogram of answer times with one bucket per millisecond up to the
// longest time a try waits, counts by reason limited to a few dozen reasons,
// at most kMostLines lines (the rest counted together as "other") and the
// open runs RunSorter allows. Lines it does not understand are counted and
// skipped.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/report/RunSorter.h"
#include "tools/report/TraceLine.h"

// Answer times in milliseconds, kept as counts per millisecond.
class AnswerTimes {
public:
    // A try waits 5000 ms for its reply; anything later shares one bucket.
    static constexpr std::int64_t kLongestMs = 5000;

    void Add(std::int64_t ms);
    std::uint64_t Count() const { return count_; }
    // The smallest time that at least `percent` per cent of the answers took
    // no longer than (nearest rank); one beyond kLongestMs gives the worst.
    std::int64_t Percentile(int percent) const;
    std::int64_t Worst() const { return worst_; }

private:
    std::vector<std::uint64_t> counts_;  // made at the first answer
    std::uint64_t count_ = 0;
    std::int64_t worst_ = 0;
};

// Counts by a reason word from the trace ("checksum", "permission"): words of
// up to 32 lower-case letters, digits and '-'; past 32 different words the
// rest count as "other".
class ReasonCounts {
public:
    static bool IsWord(std::string_view text);
    void Add(std::string_view word);
    const std::map<std::string, std::uint64_t, std::less<>>& All() const { return counts_; }
    bool Empty() const { return counts_.empty(); }

private:
    std::map<std::string, std::uint64_t, std::less<>> counts_;
};

// Stations are numbered 1 to 14.
inline constexpr int kLastStation = 14;

struct StationCounts {
    std::uint64_t runs = 0;  // runs that asked it
    std::uint64_t requests = 0;  // requests that went out on the line
    std::uint64_t answeredFirstTry = 0;
    std::uint64_t answeredLaterTry = 0;
    std::uint64_t late = 0;         // runs whose answer came after its try ran out (bytes already arriving)
    std::uint64_t silent = 0;       // runs whose requests went out and that got no reply it gave
    std::uint64_t replyDropped = 0;  // runs whose only reply was among bytes thrown away by the 112-byte rule
    std::uint64_t lineFailed = 0;    // runs whose line failed before its tries ended
    std::uint64_t repliesLost = 0;   // dropped verdicts, while it was asked, whose bytes held its whole reply
    ReasonCounts notTaken;           // replies not taken while it was asked, by reason
    ReasonCounts modemErrors;        // by cause
    AnswerTimes answerMs;
    std::optional<std::int64_t> lastHeardUtcMs;

    bool Seen() const { return runs > 0 || lastHeardUtcMs || !notTaken.Empty() || !modemErrors.Empty(); }
};

// A line: what a `port` line names a COMn to stand for, with that port name.
// Runs without a port line (older versions) share one with both empty; past
// kMostLines the rest share one named "other".
struct LineCounts {
    std::string port;    // "COM1"
    std::string device;  // "/dev/ttyUSB0", "192.0.2.7:4001"
    std::uint64_t runs = 0;
    std::uint64_t opened = 0;
    ReasonCounts openFailures;
    ReasonCounts settingsRefused;  // by setting name
    std::array<StationCounts, kLastStation + 1> stations;  // by station number; 0 unused

    bool Named() const { return !port.empty(); }
};

// A run named by its number in the trace (from 1, in the order the runs
// started), for --timeline.
struct RunMention {
    std::uint64_t number;
    std::optional<std::int64_t> startUtcMs;
};

struct TraceSummary {
    static constexpr int kStations = kLastStation;
    static constexpr int kPorts = 4;
    static constexpr std::size_t kModemErrorRunsNamed = 5;
    static constexpr std::size_t kMostLines = 32;

    std::uint64_t runs = 0;
    std::uint64_t undatedRuns = 0;      // from versions that wrote no run line
    std::uint64_t unfinishedRuns = 0;   // with no result line: stopped, or the trace cut
    std::uint64_t runsClosedEarly = 0;  // of those, closed because too many runs were open at once
    std::optional<std::int64_t> firstUtcMs, lastUtcMs;  // the earliest and latest run start
    std::uint64_t resultsOk = 0, resultsModemError = 0, resultsNotEnoughParameters = 0;
    std::vector<RunMention> latestModemErrorRuns;  // the last few, oldest first
    std::vector<LineCounts> lines;                 // in the order first named
    ReasonCounts faults;
    ReasonCounts notTaken;  // every reply not taken, asked or not, and "dropped" bytes
    std::uint64_t traceLines = 0;
    std::uint64_t oddLines = 0;
    std::optional<std::uint64_t> firstOddLine;  // counted from 1
    std::uint64_t linesLostByWriter = 0;        // the writer's "dropped N lines" notes
    bool cutAtEnd = false;
};

class TraceTally {
public:
    // One line of the trace, without its line end.
    void Add(std::string_view line);
    // The trace has ended; `cutMidLine` when its last line had no line end.
    const TraceSummary& End(bool cutMidLine);

private:
    struct StationInRun {
        bool asked = false;
        int answeredTry = 0;  // 0: no reply taken yet
        int lastTry = 0;
        bool late = false;
        bool replyDropped = false;
        bool lineFailed = false;
        bool arrivingAtTimeout = false;  // its last try ran out with bytes arriving
        std::uint64_t requests = 0;
        std::array<std::optional<std::int64_t>, 4> requestMs;  // by try, 1 to 3
    };
    struct Run {
        std::uint64_t number = 0;
        std::optional<std::int64_t> startUtcMs;
        bool hasResult = false;
        std::optional<std::size_t> line;  // in TraceSummary::lines
        LinePace pace;
        bool lineDown = false;            // not opened, or a fault: nothing more goes out
        int asking = 0;                   // the station whose try is under way, or 0
        int unsent = 0;                   // a request not yet known to have gone out, or 0
        std::array<StationInRun, TraceSummary::kStations + 1> stations;
    };

    bool Take(const TraceLine& line, Run* run);
    void BeginRun(std::uint64_t number, const TraceLine& line);
    void EndRun(std::uint64_t number, bool closedEarly);
    Run* Find(std::uint64_t number);
    LineCounts& LineOf(Run& run);
    std::size_t LineNamed(std::string_view port, std::string_view device);
    bool TakePort(std::string_view body, Run* run);
    bool TakeOpen(std::string_view body, Run* run);
    bool TakeSettings(std::string_view body, Run* run);
    bool TakeFault(std::string_view body, Run* run);
    bool TakeRequest(std::string_view body, std::int64_t ms, Run* run);
    bool TakeReply(std::string_view body, std::int64_t ms, Run* run);
    bool TakeTimeout(std::string_view body, Run* run);
    bool TakeResult(std::string_view body, Run* run);
    void Answered(Run& run, int station, int tryNumber, std::int64_t ms, std::string_view cause);
    void OddLine();

    TraceSummary summary_;
    RunSorter sorter_;
    std::vector<Run> open_;  // at most RunSorter::kMostOpenRuns + 1
};

// The station and try of a "station=S try=T" body; nothing unless both are
// in range.
struct StationTry {
    int station;
    int tryNumber;
};
std::optional<StationTry> ParseStationTry(const Tokens& tokens);

// The stations of a dropped verdict's "held=3,5" ("held=none": none), as a
// set of bits by station number; nothing when the value is not such a list.
std::optional<std::uint32_t> ParseHeldStations(std::string_view held);
