#include "tools/report/RunSorter.h"

#include <algorithm>

RunSorter::Place RunSorter::Next(const TraceLine& line) {
    ++lines_;
    return line.mark.empty() ? NextUnmarked(line) : NextMarked(line);
}

std::vector<std::uint64_t> RunSorter::OpenRuns() const {
    std::vector<std::uint64_t> runs;
    if (unmarkedRun_) runs.push_back(unmarkedRun_);
    for (const OpenRun& open : open_) runs.push_back(open.run);
    std::sort(runs.begin(), runs.end());
    return runs;
}

RunSorter::Place RunSorter::NextUnmarked(const TraceLine& line) {
    Place place;
    if (line.kind == TraceKind::Dropped) {
        place.run = unmarkedRun_;
        return place;
    }
    if (line.kind == TraceKind::Run || !unmarkedRun_) {
        place.closes = unmarkedRun_;
        unmarkedRun_ = ++runs_;
        unmarkedDated_ = line.kind == TraceKind::Run;
        place.begins = true;
    }
    place.run = unmarkedRun_;
    // Without run lines a result line is the last of its run.
    if (line.kind == TraceKind::Result && !unmarkedDated_) {
        place.ends = true;
        unmarkedRun_ = 0;
    }
    return place;
}

RunSorter::Place RunSorter::NextMarked(const TraceLine& line) {
    Place place;
    std::size_t index = Find(line.mark);
    if (index < open_.size() && line.kind == TraceKind::Run) {
        // The same mark starting again: the earlier run ended without a result line.
        place.closes = open_[index].run;
        open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(index));
        index = open_.size();
    }
    if (index == open_.size()) {
        const auto ended = std::find(ended_.begin(), ended_.end(), line.mark);
        if (line.kind == TraceKind::Dropped || (ended != ended_.end() && line.kind != TraceKind::Run)) return place;
        if (open_.size() == kMostOpenRuns) {
            const auto quietest = std::min_element(open_.begin(), open_.end(), [](const OpenRun& a, const OpenRun& b) {
                return a.lastLine < b.lastLine;
            });
            place.closes = quietest->run;
            place.closedEarly = true;
            open_.erase(quietest);
        }
        open_.push_back({std::string(line.mark), ++runs_, lines_});
        index = open_.size() - 1;
        place.begins = true;
    }
    open_[index].lastLine = lines_;
    place.run = open_[index].run;
    if (line.kind == TraceKind::Result) {
        place.ends = true;
        Ended(index);
    }
    return place;
}

std::size_t RunSorter::Find(std::string_view mark) {
    // Lines of one run mostly come together: look where the last one was first.
    if (lastFound_ < open_.size() && open_[lastFound_].mark == mark) return lastFound_;
    for (std::size_t index = 0; index < open_.size(); ++index) {
        if (open_[index].mark == mark) return lastFound_ = index;
    }
    return open_.size();
}

void RunSorter::Ended(std::size_t index) {
    if (ended_.size() == kEndedMarksKept) ended_.pop_front();
    ended_.push_back(std::move(open_[index].mark));
    open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(index));
}
