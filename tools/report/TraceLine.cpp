#include "tools/report/TraceLine.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <utility>

namespace {

constexpr std::size_t kKindColumns = 9;
// A run lasts minutes; a larger time is a damaged line (and would overflow
// when added to the run's start).
constexpr std::int64_t kLatestMs = 1'000'000'000'000;

struct KindName {
    std::string_view name;
    TraceKind kind;
};
constexpr std::array<KindName, 12> kKindNames{{
    {"run", TraceKind::Run},         {"port", TraceKind::Port},         {"open", TraceKind::Open},
    {"settings", TraceKind::Settings}, {"fault", TraceKind::Fault},     {"trigger", TraceKind::Trigger},
    {"request", TraceKind::Request}, {"reply", TraceKind::Reply},       {"timeout", TraceKind::Timeout},
    {"sent", TraceKind::Sent},       {"received", TraceKind::Received}, {"result", TraceKind::Result},
}};

std::optional<TraceKind> KindNamed(std::string_view name) {
    for (const KindName& known : kKindNames) {
        if (known.name == name) return known.kind;
    }
    return std::nullopt;
}

// The file writer's own line for lines it could not write: "- dropped  N lines"
// after the blanks of the time column.
bool IsDroppedLinesNote(std::string_view rest) {
    constexpr std::string_view kHead = "- dropped  ";
    constexpr std::string_view kTail = " lines";
    if (!rest.starts_with(kHead) || !rest.ends_with(kTail)) return false;
    const std::string_view count = rest.substr(kHead.size(), rest.size() - kHead.size() - kTail.size());
    return WholeNumberIn(count, 0, INT64_MAX).has_value();
}

std::optional<TraceLine> ParseUnmarked(std::string_view line);

}  // namespace

std::optional<TraceLine> ParseTraceLine(std::string_view line) {
    std::string_view mark;
    if (line.starts_with('r')) {
        mark = line.substr(0, line.find(' '));
        if (!IsRunMark(mark) || mark.size() == line.size()) return std::nullopt;
        line.remove_prefix(mark.size() + 1);
    }
    auto parsed = ParseUnmarked(line);
    if (parsed) parsed->mark = mark;
    return parsed;
}

bool IsRunMark(std::string_view text) {
    constexpr std::size_t kRandomDigits = 8;
    constexpr std::size_t kLongestPid = 10;
    const std::size_t dash = text.find('-');
    if (!text.starts_with('r') || dash == std::string_view::npos || dash < 2 || dash > kLongestPid + 1 ||
        text.size() != dash + 1 + kRandomDigits) {
        return false;
    }
    return text.substr(1, dash - 1).find_first_not_of("0123456789") == std::string_view::npos &&
           text.substr(dash + 1).find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

namespace {

std::optional<TraceLine> ParseUnmarked(std::string_view line) {
    const std::size_t timeStart = line.find_first_not_of(' ');
    if (timeStart == std::string_view::npos) return std::nullopt;
    const std::string_view rest = line.substr(timeStart);
    if (IsDroppedLinesNote(rest)) return TraceLine{{}, 0, TraceKind::Dropped, rest.substr(11, rest.size() - 17)};

    const std::size_t timeEnd = rest.find(' ');
    if (timeEnd == std::string_view::npos) return std::nullopt;
    const auto ms = WholeNumberIn(rest.substr(0, timeEnd), 0, kLatestMs);
    if (!ms) return std::nullopt;
    // The kind, padded with blanks to its columns; the body follows them.
    const std::string_view afterTime = rest.substr(timeEnd + 1);
    const std::string_view kindField = afterTime.substr(0, kKindColumns);
    const std::string_view name = kindField.substr(0, kindField.find(' '));
    if (kindField.find_first_not_of(' ', name.size()) != std::string_view::npos) return std::nullopt;
    const auto kind = KindNamed(name);
    if (!kind) return std::nullopt;
    return TraceLine{{}, *ms, *kind, afterTime.substr(kindField.size())};
}

}  // namespace

Tokens::Tokens(std::string_view body) {
    constexpr std::string_view kFreeTextMark = " -- ";
    std::string_view tokens = body;
    if (const std::size_t mark = body.find(kFreeTextMark); mark != std::string_view::npos) {
        tokens = body.substr(0, mark);
        freeText_ = body.substr(mark + kFreeTextMark.size());
    } else if (body.starts_with("-- ")) {
        tokens = {};
        freeText_ = body.substr(3);
    }
    std::string_view rest = tokens;
    while (count_ < kMostTokens) {
        const std::size_t blank = rest.find(' ');
        const std::string_view token = rest.substr(0, blank);
        if (token.empty()) break;
        tokens_[count_++] = token;
        if (blank == std::string_view::npos) break;
        rest.remove_prefix(blank + 1);
    }
}

std::optional<std::string_view> Tokens::Value(std::string_view key) const {
    for (std::size_t n = 0; n < count_; ++n) {
        const std::string_view token = At(n);
        if (token.size() > key.size() + 1 && token.starts_with(key) && token[key.size()] == '=') {
            return token.substr(key.size() + 1);
        }
    }
    return std::nullopt;
}

std::optional<std::int64_t> WholeNumberIn(std::string_view text, std::int64_t low, std::int64_t high) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < low || value > high) return std::nullopt;
    return value;
}

namespace {

std::optional<LinePace> PaceOf(std::string_view speed, std::string_view data, std::string_view parity,
                               std::string_view stop) {
    const auto baud = WholeNumberIn(speed, 300, 115200);
    const auto dataBits = WholeNumberIn(data, 5, 8);
    const auto stopBits = WholeNumberIn(stop, 1, 2);
    if (!baud || !dataBits || !stopBits) return std::nullopt;
    return LinePace{*baud, static_cast<int>(1 + *dataBits + (parity == "None" ? 0 : 1) + *stopBits)};
}

}  // namespace

std::optional<LinePace> PaceIn(TraceKind kind, std::string_view body) {
    if (kind != TraceKind::Run && kind != TraceKind::Settings) return std::nullopt;
    const Tokens tokens(body);
    if (kind == TraceKind::Run) return PaceOf(tokens.At(4), tokens.At(5), tokens.At(6), tokens.At(7));
    // "refused speed=... -- in force 9600 8 None 1", or the four settings as asked.
    constexpr std::string_view kInForce = "in force ";
    const std::string_view free = tokens.FreeText();
    if (tokens.At(0) != "refused") return PaceOf(tokens.At(0), tokens.At(1), tokens.At(2), tokens.At(3));
    if (!free.starts_with(kInForce)) return std::nullopt;
    const Tokens inForce(free.substr(kInForce.size()));
    return PaceOf(inForce.At(0), inForce.At(1), inForce.At(2), inForce.At(3));
}

std::optional<std::int64_t> ParseUtcTime(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS.mmmZ, every field its exact width.
    if (text.size() != 24 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != '.' || text[23] != 'Z') {
        return std::nullopt;
    }
    const auto field = [&](std::size_t at, std::size_t width, std::int64_t high) {
        const std::string_view digits = text.substr(at, width);
        if (digits.find_first_not_of("0123456789") != std::string_view::npos) return std::optional<std::int64_t>();
        return WholeNumberIn(digits, 0, high);
    };
    const auto year = field(0, 4, 9999), month = field(5, 2, 12), day = field(8, 2, 31);
    const auto hour = field(11, 2, 23), minute = field(14, 2, 59), second = field(17, 2, 59);
    const auto milli = field(20, 3, 999);
    if (!year || !month || !day || !hour || !minute || !second || !milli) return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year(static_cast<int>(*year)),
                                           std::chrono::month(static_cast<unsigned>(*month)),
                                           std::chrono::day(static_cast<unsigned>(*day))};
    if (!date.ok()) return std::nullopt;
    const std::int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
    return ((days * 24 + *hour) * 60 + *minute) * 60000 + *second * 1000 + *milli;
}

std::string FormatUtcTime(std::int64_t msSinceEpoch) {
    using namespace std::chrono;
    const sys_time<milliseconds> time{milliseconds(msSinceEpoch)};
    const sys_days day = floor<days>(time);
    const year_month_day date{day};
    const std::int64_t msOfDay = (time - day).count();
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<long long>(msOfDay / 3600000), static_cast<long long>(msOfDay / 60000 % 60),
                  static_cast<long long>(msOfDay / 1000 % 60), static_cast<long long>(msOfDay % 1000));
    return text;
}

void LineSplitter::Feed(std::string_view bytes) {
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        Take(bytes.substr(0, end));
        if (end == std::string_view::npos) return;
        Complete();
        bytes.remove_prefix(end + 1);
    }
}

void LineSplitter::Take(std::string_view piece) {
    const std::size_t room = kLongestLine - pending_.size();
    if (piece.size() > room) overlong_ = true;
    pending_.append(piece.substr(0, room));
}

void LineSplitter::Complete() {
    std::string_view line = pending_;
    if (!overlong_ && line.ends_with('\r')) line.remove_suffix(1);
    onLine_(line);
    pending_.clear();
    overlong_ = false;
}
