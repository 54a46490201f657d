#include "tools/report/TraceTally.h"

#include <algorithm>
#include <bit>

namespace {

constexpr std::size_t kLongestWord = 32;
constexpr std::size_t kMostReasons = 32;
constexpr std::size_t kLongestDevice = 256;
constexpr int kLastTry = 3;
// A read request on the line with its fill bytes, and a reply frame: no
// fresh answer to a request comes sooner than both take on the line.
constexpr std::size_t kRequestBytes = 12;
constexpr std::size_t kReplyBytes = 36;
// Received bytes are read at this interval; bytes already arriving when a
// try ran out may be read that much later.
constexpr double kReadIntervalMs = 50;

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

std::optional<std::uint32_t> ParseHeldStations(std::string_view held) {
    if (held == "none") return 0u;
    std::uint32_t stations = 0;
    int before = 0;
    for (;;) {
        const std::size_t comma = held.find(',');
        const auto station = WholeNumberIn(held.substr(0, comma), 1, kLastStation);
        if (!station || *station <= before) return std::nullopt;  // ascending, no repeats
        before = static_cast<int>(*station);
        stations |= 1u << before;
        if (comma == std::string_view::npos) return stations;
        held.remove_prefix(comma + 1);
    }
}

void TraceTally::Add(std::string_view text) {
    ++summary_.traceLines;
    const auto line = ParseTraceLine(text);
    if (!line) return OddLine();
    if (line->kind == TraceKind::Dropped) {
        summary_.linesLostByWriter += static_cast<std::uint64_t>(*WholeNumberIn(line->body, 0, INT64_MAX));
        return;
    }
    const RunSorter::Place place = sorter_.Next(*line);
    if (place.closes) EndRun(place.closes, place.closedEarly);
    if (place.begins) BeginRun(place.run, *line);
    if (!Take(*line, Find(place.run))) OddLine();
    if (place.ends) EndRun(place.run, false);
}

const TraceSummary& TraceTally::End(bool cutMidLine) {
    for (const std::uint64_t run : sorter_.OpenRuns()) EndRun(run, false);
    summary_.cutAtEnd = cutMidLine;
    return summary_;
}

void TraceTally::OddLine() {
    ++summary_.oddLines;
    if (!summary_.firstOddLine) summary_.firstOddLine = summary_.traceLines;
}

TraceTally::Run* TraceTally::Find(std::uint64_t number) {
    if (number == 0) return nullptr;
    for (Run& run : open_) {
        if (run.number == number) return &run;
    }
    return nullptr;
}

void TraceTally::BeginRun(std::uint64_t number, const TraceLine& line) {
    Run& run = open_.emplace_back();
    run.number = number;
    ++summary_.runs;
    if (line.kind == TraceKind::Run) run.startUtcMs = ParseUtcTime(Tokens(line.body).At(0));
    if (!run.startUtcMs) {
        ++summary_.undatedRuns;
        return;
    }
    const std::int64_t start = *run.startUtcMs;
    summary_.firstUtcMs = std::min(summary_.firstUtcMs.value_or(start), start);
    summary_.lastUtcMs = std::max(summary_.lastUtcMs.value_or(start), start);
}

// Each station the run asked counts once on the run's line, by how its run
// went for it.
void TraceTally::EndRun(std::uint64_t number, bool closedEarly) {
    Run* run = Find(number);
    if (!run) return;
    if (run->unsent) ++run->stations[run->unsent].requests;
    if (run->line) ++summary_.lines[*run->line].runs;
    for (int station = 1; station <= kLastStation; ++station) {
        const StationInRun& inRun = run->stations[station];
        if (!inRun.asked) continue;
        StationCounts& counts = LineOf(*run).stations[station];
        ++counts.runs;
        counts.requests += inRun.requests;
        if (inRun.late) {
            ++counts.late;
        } else if (inRun.answeredTry == 1) {
            ++counts.answeredFirstTry;
        } else if (inRun.answeredTry > 1) {
            ++counts.answeredLaterTry;
        } else if (inRun.lineFailed) {
            ++counts.lineFailed;
        } else if (inRun.replyDropped) {
            ++counts.replyDropped;
        } else {
            ++counts.silent;
        }
    }
    if (!run->hasResult) ++summary_.unfinishedRuns;
    if (closedEarly) ++summary_.runsClosedEarly;
    open_.erase(open_.begin() + (run - open_.data()));
}

LineCounts& TraceTally::LineOf(Run& run) {
    if (!run.line) run.line = LineNamed("", "");
    return summary_.lines[*run.line];
}

std::size_t TraceTally::LineNamed(std::string_view port, std::string_view device) {
    std::vector<LineCounts>& lines = summary_.lines;
    for (std::size_t index = 0; index < lines.size(); ++index) {
        if (lines[index].port == port && lines[index].device == device) return index;
    }
    if (lines.size() >= TraceSummary::kMostLines && port != "other") return LineNamed("other", "other");
    lines.emplace_back();
    lines.back().port = port;
    lines.back().device = device;
    return lines.size() - 1;
}

// `run` is the open run that wrote the line, or nothing for a line a run
// wrote after its result line: that counts only where no run is needed.
bool TraceTally::Take(const TraceLine& line, Run* run) {
    // The request before went out unless the line failed before anything else came.
    if (run && run->unsent && line.kind != TraceKind::Sent && line.kind != TraceKind::Fault) {
        ++run->stations[run->unsent].requests;
        run->unsent = 0;
    }
    if (const auto pace = run ? PaceIn(line.kind, line.body) : std::nullopt) run->pace = *pace;
    switch (line.kind) {
        case TraceKind::Run: {
            const Tokens tokens(line.body);
            return tokens.At(1) == "scalepoll" && ParseUtcTime(tokens.At(0)).has_value();
        }
        case TraceKind::Port:
            return TakePort(line.body, run);
        case TraceKind::Open:
            return TakeOpen(line.body, run);
        case TraceKind::Settings:
            return TakeSettings(line.body, run);
        case TraceKind::Fault:
            return TakeFault(line.body, run);
        case TraceKind::Trigger:
            return Tokens(line.body).Value("sequence").has_value();
        case TraceKind::Request:
            return TakeRequest(line.body, line.ms, run);
        case TraceKind::Reply:
            return TakeReply(line.body, line.ms, run);
        case TraceKind::Timeout:
            return TakeTimeout(line.body, run);
        case TraceKind::Result:
            return TakeResult(line.body, run);
        case TraceKind::Sent:
        case TraceKind::Received:
        case TraceKind::Dropped:
            return true;  // their bytes are not tokens: nothing to read here
    }
    return false;
}

bool TraceTally::TakePort(std::string_view body, Run* run) {
    const std::string_view name = body.substr(0, body.find(' '));
    const auto number = name.starts_with("COM") ? WholeNumberIn(name.substr(3), 1, TraceSummary::kPorts) : std::nullopt;
    if (!number || body.size() <= name.size() + 1) return false;
    if (!run) return true;
    // A run has one line: a second port line, or one after its stations
    // were counted, is a damaged trace.
    if (run->line) return false;
    run->line = LineNamed(name, body.substr(name.size() + 1, kLongestDevice));
    return true;
}

bool TraceTally::TakeOpen(std::string_view body, Run* run) {
    const Tokens tokens(body);
    if (!run || !run->line) return false;
    LineCounts& line = summary_.lines[*run->line];
    if (tokens.At(0) == "ok") {
        ++line.opened;
        return true;
    }
    if (tokens.At(0) != "failed" || !ReasonCounts::IsWord(tokens.At(1))) return false;
    line.openFailures.Add(tokens.At(1));
    run->lineDown = true;
    return true;
}

bool TraceTally::TakeSettings(std::string_view body, Run* run) {
    const Tokens tokens(body);
    if (tokens.At(0) != "refused") return tokens.Count() == 4;
    if (!run || !run->line || tokens.Count() < 2) return false;
    for (std::size_t n = 1; n < tokens.Count(); ++n) {
        const std::string_view name = tokens.At(n).substr(0, tokens.At(n).find('='));
        if (!ReasonCounts::IsWord(name)) return false;
        summary_.lines[*run->line].settingsRefused.Add(name);
    }
    return true;
}

// A fault ends the line's use for the run: a request it cut short did not go
// out, and the stations whose tries were still to come could not answer.
bool TraceTally::TakeFault(std::string_view body, Run* run) {
    const std::string_view reason = Tokens(body).At(0);
    if (!ReasonCounts::IsWord(reason)) return false;
    summary_.faults.Add(reason);
    if (!run || run->hasResult) return true;
    run->unsent = 0;
    run->lineDown = true;
    for (int station = 1; station <= kLastStation; ++station) {
        StationInRun& inRun = run->stations[station];
        const bool triesOver = inRun.answeredTry != 0 || (inRun.lastTry == kLastTry && run->asking != station);
        if (inRun.asked && !triesOver) inRun.lineFailed = true;
    }
    return true;
}

bool TraceTally::TakeRequest(std::string_view body, std::int64_t ms, Run* run) {
    const auto asked = ParseStationTry(Tokens(body));
    if (!asked) return false;
    if (!run) return true;
    StationInRun& inRun = run->stations[asked->station];
    inRun.asked = true;
    inRun.lastTry = asked->tryNumber;
    inRun.requestMs[asked->tryNumber] = ms;
    run->asking = asked->station;
    if (run->lineDown) {
        if (inRun.answeredTry == 0) inRun.lineFailed = true;
    } else {
        run->unsent = asked->station;
    }
    return true;
}

bool TraceTally::TakeReply(std::string_view body, std::int64_t ms, Run* run) {
    const Tokens tokens(body);
    const std::string_view verdict = tokens.At(0);
    if (verdict == "taken" || verdict == "modem-error") {
        const auto answer = ParseStationTry(tokens);
        if (!answer) return false;
        std::string_view cause;
        if (verdict == "modem-error") {
            const auto named = tokens.Value("cause");
            if (!named || !ReasonCounts::IsWord(*named)) return false;
            cause = *named;
        }
        if (run) Answered(*run, answer->station, answer->tryNumber, ms, cause);
        return true;
    }
    std::string_view reason;
    std::uint32_t held = 0;
    if (verdict == "not-taken") {
        const auto named = tokens.Value("reason");
        if (!named || !ReasonCounts::IsWord(*named)) return false;
        reason = *named;
    } else if (verdict == "dropped") {
        const auto bytes = tokens.Value("bytes");
        const auto heldText = tokens.Value("held");
        const auto heldStations = heldText ? ParseHeldStations(*heldText) : std::optional<std::uint32_t>(0);
        if (!bytes || !WholeNumberIn(*bytes, 0, INT64_MAX) || !heldStations) return false;
        reason = "dropped";
        held = *heldStations;
    } else {
        return false;
    }
    summary_.notTaken.Add(reason);
    if (!run || !run->asking) return true;
    // A reject belongs to the station asked at the time, whatever address the frame bore.
    StationCounts& asked = LineOf(*run).stations[run->asking];
    asked.notTaken.Add(reason);
    if (held & (1u << run->asking)) {
        ++asked.repliesLost;
        run->stations[run->asking].replyDropped = true;
    }
    return true;
}

// A timeout with bytes arriving ("arriving=N") may be followed by a late
// answer: the reply taken at the next try is the one that was on its way.
bool TraceTally::TakeTimeout(std::string_view body, Run* run) {
    const Tokens tokens(body);
    const auto late = ParseStationTry(tokens);
    const auto arrivingText = tokens.Value("arriving");
    const auto arriving = arrivingText ? WholeNumberIn(*arrivingText, 1, INT64_MAX) : std::optional<std::int64_t>(0);
    if (!late || !arriving) return false;
    if (!run) return true;
    run->stations[late->station].arrivingAtTimeout = *arriving > 0;
    if (run->asking == late->station) run->asking = 0;
    return true;
}

// A station's reply was accepted: the first of the run decides the try it
// answered at, and its time counts from the request of that try. An answer
// at a later try that came sooner than the request and a reply take on the
// line (a read interval more when bytes were arriving as the try before ran
// out) cannot be an answer to that try's request: it is the late answer to
// the try before, and its time counts from that try's request.
void TraceTally::Answered(Run& run, int station, int tryNumber, std::int64_t ms, std::string_view cause) {
    StationCounts& counts = LineOf(run).stations[station];
    if (!cause.empty()) counts.modemErrors.Add(cause);
    if (run.startUtcMs) counts.lastHeardUtcMs = std::max(counts.lastHeardUtcMs.value_or(INT64_MIN), *run.startUtcMs + ms);
    if (run.asking == station) run.asking = 0;
    StationInRun& inRun = run.stations[station];
    if (!inRun.asked || inRun.answeredTry != 0) return;
    inRun.answeredTry = tryNumber;
    const auto requestMs = inRun.requestMs[tryNumber];
    const auto before = tryNumber > 1 ? inRun.requestMs[tryNumber - 1] : std::nullopt;
    const double freshest = run.pace.Ms(kRequestBytes + kReplyBytes) + (inRun.arrivingAtTimeout ? kReadIntervalMs : 0);
    inRun.late = requestMs && before && static_cast<double>(ms - *requestMs) <= freshest;
    const auto from = inRun.late ? before : requestMs;
    if (from && ms >= *from) counts.answerMs.Add(ms - *from);
}

// A run has one result line; a second one (a damaged trace) counts nothing.
bool TraceTally::TakeResult(std::string_view body, Run* run) {
    const bool ok = body.starts_with("0;"), modemError = body == "2;Modem error";
    const bool notEnough = body == "1;Not enough parameters";
    if (!ok && !modemError && !notEnough) return false;
    if (!run || run->hasResult) return true;
    run->hasResult = true;
    ++(ok ? summary_.resultsOk : modemError ? summary_.resultsModemError : summary_.resultsNotEnoughParameters);
    if (modemError) {
        std::vector<RunMention>& named = summary_.latestModemErrorRuns;
        if (named.size() == TraceSummary::kModemErrorRunsNamed) named.erase(named.begin());
        named.push_back({run->number, run->startUtcMs});
    }
    return true;
}
