// TraceTally: counts over a whole line trace, read in one pass, for the
// report a technician or a site's program reads: how many runs and when,
// their result lines, each station's requests, answers, silences and
// rejected replies with its answer times, and each port's failures.
//
// Memory stays the same whatever the length of the trace: per station a
// histogram of answer times with one bucket per millisecond up to the
// longest time a try waits, and counts by reason limited to a few dozen
// reasons. Lines it does not understand are counted and skipped.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

struct StationCounts {
    std::uint64_t runs = 0;  // runs that asked it
    std::uint64_t requests = 0;
    std::uint64_t answeredFirstTry = 0;
    std::uint64_t answeredLaterTry = 0;
    std::uint64_t silent = 0;  // runs that asked it and got no reply it gave
    ReasonCounts notTaken;
    ReasonCounts modemErrors;  // by cause
    AnswerTimes answerMs;
    std::optional<std::int64_t> lastHeardUtcMs;

    bool Seen() const { return requests > 0 || lastHeardUtcMs || !notTaken.Empty() || !modemErrors.Empty(); }
};

struct PortCounts {
    std::string device;  // what it stood for in the last run that named it
    std::uint64_t opened = 0;
    ReasonCounts openFailures;
    ReasonCounts settingsRefused;  // by setting name
};

// A run named by its number in the trace (from 1), for --timeline.
struct RunMention {
    std::uint64_t number;
    std::optional<std::int64_t> startUtcMs;
};

struct TraceSummary {
    static constexpr int kStations = 14;
    static constexpr int kPorts = 4;
    static constexpr std::size_t kModemErrorRunsNamed = 5;

    std::uint64_t runs = 0;
    std::uint64_t undatedRuns = 0;      // from versions that wrote no run line
    std::uint64_t unfinishedRuns = 0;   // with no result line: stopped, or the trace cut
    std::optional<std::int64_t> firstUtcMs, lastUtcMs;  // the earliest and latest run start
    std::uint64_t resultsOk = 0, resultsModemError = 0, resultsNotEnoughParameters = 0;
    std::vector<RunMention> latestModemErrorRuns;  // the last few, oldest first
    std::array<StationCounts, kStations + 1> stations;  // by station number; 0 unused
    std::array<PortCounts, kPorts + 1> ports;           // by COMn; 0 unused
    ReasonCounts faults;
    ReasonCounts notTaken;  // every reply not taken, with or without a station, and "dropped" bytes
    std::uint64_t lines = 0;
    std::uint64_t oddLines = 0;
    std::optional<std::uint64_t> firstOddLine;  // counted from 1
    std::uint64_t linesLostByWriter = 0;        // the writer's "dropped N lines" notes
    bool cutAtEnd = false;
};

// Where a line stands among the runs. A run begins at a run line; in a trace
// from a version without run lines, at the first line after a result line.
class RunBoundaries {
public:
    enum class Place { Begins, Within, Outside };
    Place Next(const TraceLine& line);

private:
    bool open_ = false;
    bool dated_ = false;
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
        int answeredTry = 0;                                     // 0: no reply taken yet
        std::array<std::optional<std::int64_t>, 4> requestMs;  // by try, 1 to 3
    };
    struct Run {
        bool started = false;
        std::optional<std::int64_t> startUtcMs;
        bool hasResult = false;
        int port = 0;
        std::array<StationInRun, TraceSummary::kStations + 1> stations;
    };

    bool Take(const TraceLine& line);
    void BeginRun(const TraceLine& line);
    void EndRun();
    bool TakePort(std::string_view body);
    bool TakeOpen(std::string_view body);
    bool TakeSettings(std::string_view body);
    bool TakeRequest(std::string_view body, std::int64_t ms);
    bool TakeReply(std::string_view body, std::int64_t ms);
    bool TakeResult(std::string_view body);
    void Answered(int station, int tryNumber, std::int64_t ms);
    void OddLine();

    TraceSummary summary_;
    RunBoundaries boundaries_;
    Run run_;
};

// The station and try of a "station=S try=T" body; nothing unless both are
// in range.
struct StationTry {
    int station;
    int tryNumber;
};
std::optional<StationTry> ParseStationTry(const Tokens& tokens);
