// RunSorter: which run each line of a trace belongs to, numbered from 1 in
// the order the runs started. Runs that append to one file at the same time
// interleave their lines; since format 2 each line carries its run's mark,
// and lines without one (older traces) are grouped as those versions wrote
// them: a run begins at a run line, or without run lines at the first line
// after a result line.
//
// Memory stays bounded whatever the trace holds: at most kMostOpenRuns
// marked runs are open at once (a run killed before its result line never
// ends by itself; when one more begins, the one quiet the longest is closed
// as unfinished), and the marks of the last kEndedMarksKept runs that ended
// are kept so that a line a run writes after its result line is not taken
// for a new run.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "tools/report/TraceLine.h"

class RunSorter {
public:
    static constexpr std::size_t kMostOpenRuns = 64;
    static constexpr std::size_t kEndedMarksKept = 256;

    struct Place {
        std::uint64_t run = 0;     // 0: no open run (a late line of a run that ended, or before any)
        bool begins = false;       // the run's first line
        bool ends = false;         // its last: a marked run's result line
        std::uint64_t closes = 0;  // a run to close before this line is taken, or 0
        bool closedEarly = false;  // `closes` was closed because too many runs were open
    };

    Place Next(const TraceLine& line);
    // The runs still open, in the order they began.
    std::vector<std::uint64_t> OpenRuns() const;
    std::uint64_t RunsSeen() const { return runs_; }

private:
    struct OpenRun {
        std::string mark;
        std::uint64_t run;
        std::uint64_t lastLine;  // when it last wrote, for closing the quietest
    };

    Place NextUnmarked(const TraceLine& line);
    Place NextMarked(const TraceLine& line);
    std::size_t Find(std::string_view mark);
    void Ended(std::size_t index);

    std::vector<OpenRun> open_;
    std::deque<std::string> ended_;  // marks, the latest last
    std::size_t lastFound_ = 0;
    std::uint64_t unmarkedRun_ = 0;  // 0: none open
    bool unmarkedDated_ = false;
    std::uint64_t runs_ = 0;
    std::uint64_t lines_ = 0;
};
