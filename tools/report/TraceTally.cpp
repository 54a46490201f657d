#include "tools/report/TraceTally.h"

#include <algorithm>

namespace {

constexpr std::size_t kLongestWord = 32;
constexpr std::size_t kMostReasons = 32;
constexpr std::size_t kLongestDevice = 256;

std::optional<int> StationIn(std::optional<std::string_view> text) {
    if (!text) return std::nullopt;
    const auto station = WholeNumberIn(*text, 1, TraceSummary::kStations);
    if (!station) return std::nullopt;
    return static_cast<int>(*station);
}

}  // namespace

void AnswerTimes::Add(std::int64_t ms) {
    if (counts_.empty()) counts_.assign(kLongestMs + 2, 0);
    ++counts_[static_cast<std::size_t>(std::clamp<std::int64_t>(ms, 0, kLongestMs + 1))];
    ++count_;
    worst_ = std::max(worst_, ms);
}

std::int64_t AnswerTimes::Percentile(int percent) const {
    if (count_ == 0) return 0;
    // The rank of the answer asked for, from 1: ceil(count * percent / 100).
    const std::uint64_t rank = std::max<std::uint64_t>(1, (count_ * static_cast<std::uint64_t>(percent) + 99) / 100);
    std::uint64_t below = 0;
    for (std::size_t ms = 0; ms <= kLongestMs; ++ms) {
        below += counts_[ms];
        if (below >= rank) return static_cast<std::int64_t>(ms);
    }
    return worst_;
}

bool ReasonCounts::IsWord(std::string_view text) {
    return !text.empty() && text.size() <= kLongestWord &&
           text.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == std::string_view::npos;
}

void ReasonCounts::Add(std::string_view word) {
    if (const auto known = counts_.find(word); known != counts_.end()) {
        ++known->second;
    } else if (counts_.size() < kMostReasons) {
        counts_.emplace(word, 1);
    } else {
        ++counts_["other"];
    }
}

std::optional<StationTry> ParseStationTry(const Tokens& tokens) {
    const auto station = StationIn(tokens.Value("station"));
    const auto tryText = tokens.Value("try");
    const auto tryNumber = tryText ? WholeNumberIn(*tryText, 1, 3) : std::nullopt;
    if (!station || !tryNumber) return std::nullopt;
    return StationTry{*station, static_cast<int>(*tryNumber)};
}

RunBoundaries::Place RunBoundaries::Next(const TraceLine& line) {
    Place place = Place::Within;
    if (line.kind == TraceKind::Run) {
        open_ = true;
        dated_ = true;
        place = Place::Begins;
    } else if (line.kind == TraceKind::Dropped) {
        return open_ ? Place::Within : Place::Outside;
    } else if (!open_) {
        open_ = true;
        dated_ = false;
        place = Place::Begins;
    }
    // Without run lines a result line is the last of its run.
    if (line.kind == TraceKind::Result && !dated_) open_ = false;
    return place;
}

void TraceTally::Add(std::string_view text) {
    ++summary_.lines;
    const auto line = ParseTraceLine(text);
    if (!line) return OddLine();
    if (line->kind == TraceKind::Dropped) {
        summary_.linesLostByWriter += static_cast<std::uint64_t>(*WholeNumberIn(line->body, 0, INT64_MAX));
        return;
    }
    if (boundaries_.Next(*line) == RunBoundaries::Place::Begins) BeginRun(*line);
    if (!Take(*line)) OddLine();
}

const TraceSummary& TraceTally::End(bool cutMidLine) {
    EndRun();
    summary_.cutAtEnd = cutMidLine;
    return summary_;
}

void TraceTally::OddLine() {
    ++summary_.oddLines;
    if (!summary_.firstOddLine) summary_.firstOddLine = summary_.lines;
}

void TraceTally::BeginRun(const TraceLine& line) {
    EndRun();
    run_ = Run{};
    run_.started = true;
    ++summary_.runs;
    if (line.kind == TraceKind::Run) run_.startUtcMs = ParseUtcTime(Tokens(line.body).At(0));
    if (!run_.startUtcMs) {
        ++summary_.undatedRuns;
        return;
    }
    const std::int64_t start = *run_.startUtcMs;
    summary_.firstUtcMs = std::min(summary_.firstUtcMs.value_or(start), start);
    summary_.lastUtcMs = std::max(summary_.lastUtcMs.value_or(start), start);
}

void TraceTally::EndRun() {
    if (!run_.started) return;
    for (int station = 1; station <= TraceSummary::kStations; ++station) {
        const StationInRun& inRun = run_.stations[station];
        if (!inRun.asked) continue;
        StationCounts& counts = summary_.stations[station];
        ++counts.runs;
        if (inRun.answeredTry == 1) {
            ++counts.answeredFirstTry;
        } else if (inRun.answeredTry > 1) {
            ++counts.answeredLaterTry;
        } else {
            ++counts.silent;
        }
    }
    if (!run_.hasResult) ++summary_.unfinishedRuns;
    run_.started = false;
}

bool TraceTally::Take(const TraceLine& line) {
    const Tokens tokens(line.body);
    switch (line.kind) {
        case TraceKind::Run:
            return tokens.At(1) == "scalepoll" && run_.startUtcMs.has_value();
        case TraceKind::Port:
            return TakePort(line.body);
        case TraceKind::Open:
            return TakeOpen(line.body);
        case TraceKind::Settings:
            return TakeSettings(line.body);
        case TraceKind::Fault:
            if (!ReasonCounts::IsWord(tokens.At(0))) return false;
            summary_.faults.Add(tokens.At(0));
            return true;
        case TraceKind::Trigger:
            return tokens.Value("sequence").has_value();
        case TraceKind::Request:
            return TakeRequest(line.body, line.ms);
        case TraceKind::Reply:
            return TakeReply(line.body, line.ms);
        case TraceKind::Timeout:
            return ParseStationTry(tokens).has_value();
        case TraceKind::Result:
            return TakeResult(line.body);
        case TraceKind::Sent:
        case TraceKind::Received:
        case TraceKind::Dropped:
            return true;
    }
    return false;
}

bool TraceTally::TakePort(std::string_view body) {
    const std::string_view name = Tokens(body).At(0);
    const auto number = name.starts_with("COM") ? WholeNumberIn(name.substr(3), 1, TraceSummary::kPorts) : std::nullopt;
    if (!number || body.size() <= name.size() + 1) return false;
    run_.port = static_cast<int>(*number);
    summary_.ports[run_.port].device = body.substr(name.size() + 1, kLongestDevice);
    return true;
}

bool TraceTally::TakeOpen(std::string_view body) {
    const Tokens tokens(body);
    if (run_.port == 0) return false;
    PortCounts& port = summary_.ports[run_.port];
    if (tokens.At(0) == "ok") {
        ++port.opened;
        return true;
    }
    if (tokens.At(0) != "failed" || !ReasonCounts::IsWord(tokens.At(1))) return false;
    port.openFailures.Add(tokens.At(1));
    return true;
}

bool TraceTally::TakeSettings(std::string_view body) {
    const Tokens tokens(body);
    if (tokens.At(0) != "refused") return tokens.Count() == 4;
    if (run_.port == 0 || tokens.Count() < 2) return false;
    for (std::size_t n = 1; n < tokens.Count(); ++n) {
        const std::string_view name = tokens.At(n).substr(0, tokens.At(n).find('='));
        if (!ReasonCounts::IsWord(name)) return false;
        summary_.ports[run_.port].settingsRefused.Add(name);
    }
    return true;
}

bool TraceTally::TakeRequest(std::string_view body, std::int64_t ms) {
    const auto asked = ParseStationTry(Tokens(body));
    if (!asked) return false;
    ++summary_.stations[asked->station].requests;
    StationInRun& inRun = run_.stations[asked->station];
    inRun.asked = true;
    inRun.requestMs[asked->tryNumber] = ms;
    return true;
}

bool TraceTally::TakeReply(std::string_view body, std::int64_t ms) {
    const Tokens tokens(body);
    const std::string_view verdict = tokens.At(0);
    if (verdict == "taken" || verdict == "modem-error") {
        const auto answer = ParseStationTry(tokens);
        if (!answer) return false;
        if (verdict == "modem-error") {
            const auto cause = tokens.Value("cause");
            if (!cause || !ReasonCounts::IsWord(*cause)) return false;
            summary_.stations[answer->station].modemErrors.Add(*cause);
        }
        Answered(answer->station, answer->tryNumber, ms);
        return true;
    }
    if (verdict == "not-taken") {
        const auto reason = tokens.Value("reason");
        if (!reason || !ReasonCounts::IsWord(*reason)) return false;
        summary_.notTaken.Add(*reason);
        if (const auto station = StationIn(tokens.Value("station"))) summary_.stations[*station].notTaken.Add(*reason);
        return true;
    }
    if (verdict == "dropped") {
        const auto bytes = tokens.Value("bytes");
        if (!bytes || !WholeNumberIn(*bytes, 0, INT64_MAX)) return false;
        summary_.notTaken.Add("dropped");
        return true;
    }
    return false;
}

// A station's reply was accepted: the first of the run decides the try it
// answered at, and its time counts from the request of that try.
void TraceTally::Answered(int station, int tryNumber, std::int64_t ms) {
    StationCounts& counts = summary_.stations[station];
    if (run_.startUtcMs) counts.lastHeardUtcMs = std::max(counts.lastHeardUtcMs.value_or(INT64_MIN), *run_.startUtcMs + ms);
    StationInRun& inRun = run_.stations[station];
    if (!inRun.asked || inRun.answeredTry != 0) return;
    inRun.answeredTry = tryNumber;
    const auto requestMs = inRun.requestMs[tryNumber];
    if (requestMs && ms >= *requestMs) counts.answerMs.Add(ms - *requestMs);
}

bool TraceTally::TakeResult(std::string_view body) {
    if (body.starts_with("0;")) {
        ++summary_.resultsOk;
    } else if (body == "2;Modem error") {
        ++summary_.resultsModemError;
        std::vector<RunMention>& named = summary_.latestModemErrorRuns;
        if (named.size() == TraceSummary::kModemErrorRunsNamed) named.erase(named.begin());
        named.push_back({summary_.runs, run_.startUtcMs});
    } else if (body == "1;Not enough parameters") {
        ++summary_.resultsNotEnoughParameters;
    } else {
        return false;
    }
    run_.hasResult = true;
    return true;
}
