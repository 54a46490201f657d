#include "tools/report/Timeline.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <optional>

// Literals as std::string ("..."s): a concatenation that starts with one only
// appends, where const char* + std::string inserts at the front, which GCC 12
// at -O2 warns of wrongly (-Wrestrict).
using namespace std::string_literals;

namespace {

constexpr double kLeft = 110;        // lane names
constexpr double kPlotWidth = 1000;  // the run's time
constexpr double kRight = 230;       // labels of the last verdicts
constexpr double kTop = 64;
constexpr double kByteLaneHeight = 40;
// A station's lane: its tries as bars with "try n" inside, the marks on
// them, and below them as many rows of labels as keep the labels apart.
constexpr double kBarTop = 6;
constexpr double kBarHeight = 16;
constexpr double kLabelRowHeight = 13;
constexpr double kFontSize = 10;
constexpr double kLabelCharWidth = 6.2;  // at kFontSize, a little wide, for keeping labels apart
constexpr double kLabelGap = 8;
// Rows of labels a lane has at most; a mark whose label finds no room in them
// is drawn without it (its line still shows on hover).
constexpr std::size_t kMostLabelRows = 6;

constexpr std::string_view kTakenColour = "#2e7d32";
constexpr std::string_view kModemErrorColour = "#ef6c00";
constexpr std::string_view kNotTakenColour = "#6a1b9a";
constexpr std::string_view kTimeoutColour = "#c62828";
constexpr std::string_view kCutColour = "#78909c";  // a try ended by the next request without a verdict
constexpr std::string_view kFrameColour = "#1565c0";
constexpr std::string_view kReceivedColour = "#546e7a";

std::string Fixed(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

LinePace PaceOfRun(const TimelineRun& run) {
    std::optional<LinePace> fromCommandLine;
    for (const TimelineEvent& event : run.events) {
        const auto pace = PaceIn(event.kind, event.Body());
        if (pace && event.kind == TraceKind::Settings) return *pace;
        if (pace) fromCommandLine = pace;
    }
    return fromCommandLine.value_or(LinePace{});
}

// How a try ended.
enum class Outcome { Waiting, Taken, ModemError, TimedOut, Rejected, Cut };

struct Try {
    int number;
    std::int64_t startMs;
    std::string hover;  // its request line, then the line that ended it
    std::int64_t endMs = -1;
    Outcome outcome = Outcome::Waiting;
    bool rejectSeen = false;  // a reply not taken came while it waited
};

struct Marker {
    std::int64_t ms;
    std::string_view colour;
    std::string label;
    std::string hover;  // the whole trace line
};

struct Lane {
    std::vector<Try> tries;
    std::vector<Marker> markers;
};

struct Chunk {
    std::int64_t ms;
    std::string_view bytes;
    std::string_view hover;
};

// What the run's lines say, sorted into lanes.
struct Picture {
    LinePace pace;
    std::string_view runLine;
    std::string_view resultLine;
    std::int64_t resultMs = -1;
    std::int64_t endMs = 0;
    bool openSeen = false;                // an open line, ok or failed
    std::optional<std::int64_t> openMs;   // when the port opened
    std::optional<std::int64_t> goneMs;   // when the device went away
    std::vector<Chunk> sent;
    std::vector<Chunk> received;
    std::int64_t lastSendMs = 0;  // when the latest frame was handed to the line
    std::vector<std::pair<std::int64_t, std::int64_t>> stalls;  // sends cut short: DTR low from, to
    Lane line;  // faults, open failures, verdicts while no station was asked
    std::map<int, Lane> stations;
    int asking = 0;  // the station whose try is under way, or 0
};

void EndTry(Try& attempt, std::int64_t ms, Outcome outcome, std::string_view line) {
    attempt.endMs = ms;
    attempt.outcome = outcome;
    attempt.hover += "\n"s + std::string(line);
}

Try* WaitingTry(Lane& lane) {
    for (Try& attempt : lane.tries) {
        if (attempt.outcome == Outcome::Waiting) return &attempt;
    }
    return nullptr;
}

// Any request ends every try still waiting: only one station is asked at a time.
void AddRequest(Picture& picture, const TimelineEvent& event, const StationTry& asked) {
    for (auto& [number, lane] : picture.stations) {
        if (Try* waiting = WaitingTry(lane)) {
            EndTry(*waiting, event.ms, waiting->rejectSeen ? Outcome::Rejected : Outcome::Cut, event.text);
        }
    }
    picture.stations[asked.station].tries.push_back({asked.tryNumber, event.ms, event.text});
    picture.asking = asked.station;
}

void AddReply(Picture& picture, const TimelineEvent& event) {
    const Tokens tokens(event.Body());
    const std::string_view verdict = tokens.At(0);
    const auto answer = ParseStationTry(tokens);
    if ((verdict == "taken" || verdict == "modem-error") && answer) {
        Lane& lane = picture.stations[answer->station];
        const bool taken = verdict == "taken";
        const std::string label = taken ? std::string(tokens.Value("weight").value_or("?"))
                                        : "modem error: "s + std::string(tokens.Value("cause").value_or("?"));
        lane.markers.push_back({event.ms, taken ? kTakenColour : kModemErrorColour, label, event.text});
        if (Try* waiting = WaitingTry(lane)) {
            EndTry(*waiting, event.ms, taken ? Outcome::Taken : Outcome::ModemError, event.text);
        }
        if (picture.asking == answer->station) picture.asking = 0;
        return;
    }
    // A reject belongs to the station asked at the time, whatever its frame named.
    Lane& lane = picture.asking ? picture.stations[picture.asking] : picture.line;
    std::string label = verdict == "not-taken" ? "not taken: "s + std::string(tokens.Value("reason").value_or("?"))
                                               : std::string(verdict);
    const std::string_view held = tokens.Value("held").value_or("none");
    if (verdict == "dropped" && held != "none") label += ", held a reply of " + std::string(held);
    lane.markers.push_back({event.ms, kNotTakenColour, label, event.text});
    if (Try* waiting = WaitingTry(lane)) waiting->rejectSeen = true;
}

void AddTimeout(Picture& picture, const TimelineEvent& event) {
    const Tokens tokens(event.Body());
    const auto late = ParseStationTry(tokens);
    if (!late) return;
    Lane& lane = picture.stations[late->station];
    const auto arriving = tokens.Value("arriving");
    lane.markers.push_back({event.ms, kTimeoutColour,
                            arriving ? "timeout, " + std::string(*arriving) + " bytes arriving" : "timeout"s, event.text});
    if (Try* waiting = WaitingTry(lane)) EndTry(*waiting, event.ms, Outcome::TimedOut, event.text);
    if (picture.asking == late->station) picture.asking = 0;
}

void AddFault(Picture& picture, const TimelineEvent& event) {
    const std::string_view reason = Tokens(event.Body()).At(0);
    picture.line.markers.push_back({event.ms, kTimeoutColour, std::string(reason), event.text});
    if (reason == "drain-cut-short") {
        // The frame did not leave: DTR stayed low from its send until the send gave up.
        picture.stalls.emplace_back(picture.lastSendMs, event.ms);
    } else if (reason == "device-gone" || reason == "closed-by-server") {
        picture.goneMs = picture.goneMs.value_or(event.ms);
    }
}

Picture Sort(const TimelineRun& run) {
    Picture picture;
    picture.pace = PaceOfRun(run);
    for (const TimelineEvent& event : run.events) {
        picture.endMs = std::max(picture.endMs, event.ms);
        switch (event.kind) {
            case TraceKind::Run:
                picture.runLine = event.Body();
                break;
            case TraceKind::Request:
                picture.lastSendMs = event.ms;
                if (const auto asked = ParseStationTry(Tokens(event.Body()))) AddRequest(picture, event, *asked);
                break;
            case TraceKind::Trigger:
                picture.lastSendMs = event.ms;
                break;
            case TraceKind::Reply:
                AddReply(picture, event);
                break;
            case TraceKind::Timeout:
                AddTimeout(picture, event);
                break;
            case TraceKind::Fault:
                AddFault(picture, event);
                break;
            case TraceKind::Open: {
                const Tokens tokens(event.Body());
                picture.openSeen = true;
                if (tokens.At(0) == "ok") {
                    picture.openMs = event.ms;
                } else if (tokens.At(0) == "failed") {
                    picture.line.markers.push_back(
                        {event.ms, kTimeoutColour, "open failed: "s + std::string(tokens.At(1)), event.text});
                }
                break;
            }
            case TraceKind::Sent:
                picture.sent.push_back({event.ms, event.Body(), event.text});
                break;
            case TraceKind::Received:
                picture.received.push_back({event.ms, event.Body(), event.text});
                break;
            case TraceKind::Result:
                picture.resultLine = event.Body();
                picture.resultMs = event.ms;
                break;
            default:
                break;
        }
    }
    return picture;
}

// A label placed in its lane: a mark, or several of the same kind in a row
// merged into one with their count.
struct PlacedLabel {
    std::int64_t firstMs, lastMs;
    std::string_view colour;
    std::string label;
    std::size_t count;
    std::string hover;  // every line it stands for
    std::size_t row;    // kMostLabelRows: no room, the mark is drawn without its label
};

// A time axis step of 1, 2 or 5 times a power of ten, so that the axis has
// at most a dozen ticks whatever the run's times.
std::int64_t AxisStep(std::int64_t shownMs) {
    for (std::int64_t power = 100;; power *= 10) {
        for (const std::int64_t mantissa : {1, 2, 5}) {
            if (shownMs / (mantissa * power) < 12) return mantissa * power;
        }
    }
}

// Draws the picture; x runs over the run's time, one lane below another.
class Drawing {
public:
    explicit Drawing(const Picture& picture) : picture_(picture) {
        const std::int64_t shown = std::max<std::int64_t>(picture.endMs, 1000);
        step_ = AxisStep(shown);
        spanMs_ = shown / step_ * step_ + (shown % step_ ? step_ : 0);
    }

    std::string Svg(const TimelineRun& run);

private:
    double X(std::int64_t ms) const { return X(static_cast<double>(ms)); }
    double X(double ms) const { return kLeft + ms * kPlotWidth / static_cast<double>(spanMs_); }
    static double LabelWidth(const PlacedLabel& placed);
    std::vector<PlacedLabel> Place(const Lane& lane) const;
    void LaneName(double top, double height, const std::string& name);
    void Axis(double bottom);
    void DtrLane(double top);
    void BytesLane(double top, const std::vector<Chunk>& chunks, std::string_view colour, std::string_view what);
    double MarkerLane(double top, const std::string& name, const Lane& content);
    void Legend(double y);

    const Picture& picture_;
    std::int64_t step_ = 1000;
    std::int64_t spanMs_ = 1000;
    std::string out_;
};

double Drawing::LabelWidth(const PlacedLabel& placed) {
    const std::size_t countChars = placed.count > 1 ? 2 + std::to_string(placed.count).size() : 0;
    return kLabelCharWidth * static_cast<double>(placed.label.size() + countChars) + kLabelGap;
}

// Labels in the order of their marks, each in the first row where it clears
// the label before it; a mark just like the one before it, closer to it than
// that label is long, joins it instead, so a storm of one kind is one label.
std::vector<PlacedLabel> Drawing::Place(const Lane& lane) const {
    std::vector<PlacedLabel> placed;
    std::vector<double> rowEnds;
    for (const Marker& marker : lane.markers) {
        const double x = X(marker.ms);
        if (!placed.empty()) {
            PlacedLabel& before = placed.back();
            const bool mergeable = before.label == marker.label && before.row < kMostLabelRows;
            if (mergeable && x < X(before.lastMs) + LabelWidth(before)) {
                ++before.count;
                before.lastMs = marker.ms;
                before.hover += "\n" + marker.hover;
                rowEnds[before.row] = std::max(rowEnds[before.row], std::max(x, X(before.firstMs) + LabelWidth(before)));
                continue;
            }
        }
        PlacedLabel label{marker.ms, marker.ms, marker.colour, marker.label, 1, marker.hover, 0};
        while (label.row < rowEnds.size() && x < rowEnds[label.row]) ++label.row;
        if (label.row == rowEnds.size() && label.row < kMostLabelRows) rowEnds.push_back(0);
        if (label.row < kMostLabelRows) rowEnds[label.row] = x + LabelWidth(label);
        placed.push_back(std::move(label));
    }
    return placed;
}

void Drawing::LaneName(double top, double height, const std::string& name) {
    out_ += "<line x1=\"0\" x2=\""s + Fixed(kLeft + kPlotWidth + kRight) + "\" y1=\"" + Fixed(top + height) +
            "\" y2=\"" + Fixed(top + height) + "\" stroke=\"#e0e0e0\"/>\n";
    out_ += "<text x=\"8\" y=\""s + Fixed(top + kBarTop + kBarHeight - 4) + "\" font-weight=\"bold\">" + XmlText(name) +
            "</text>\n";
}

void Drawing::Axis(double bottom) {
    for (std::int64_t ms = 0; ms <= spanMs_; ms += step_) {
        const std::string x = Fixed(X(ms));
        char label[40];
        std::snprintf(label, sizeof label, step_ < 1000 ? "%.1f s" : "%.0f s", static_cast<double>(ms) / 1000.0);
        out_ += "<line x1=\""s + x + "\" x2=\"" + x + "\" y1=\"" + Fixed(kTop - 6) + "\" y2=\"" + Fixed(bottom) +
                "\" stroke=\"#cfd8dc\"/>\n";
        out_ += "<text x=\""s + x + "\" y=\"" + Fixed(kTop - 10) + "\" text-anchor=\"middle\">" + label + "</text>\n";
    }
}

// DTR is up while the port is open and between frames, and low while each
// frame (fill bytes included) goes out, or until a stalled send gave up. It
// is not drawn where the port was not open: before it opened, after the
// device went away, or at all when it never opened.
void Drawing::DtrLane(double top) {
    LaneName(top, kByteLaneHeight, "DTR");
    const bool neverOpened = picture_.openSeen && !picture_.openMs;
    if (neverOpened) {
        out_ += "<text x=\""s + Fixed(kLeft + 6) + "\" y=\"" + Fixed(top + 24) +
                "\" fill=\"#757575\">port not open</text>\n";
        return;
    }
    const std::int64_t openMs = picture_.openMs.value_or(0);
    const std::int64_t closedMs = std::min(picture_.goneMs.value_or(spanMs_),
                                           picture_.resultMs >= 0 ? picture_.resultMs : spanMs_);
    std::vector<std::pair<double, double>> lows;  // ms from, to
    for (const Chunk& frame : picture_.sent) {
        const auto start = static_cast<double>(frame.ms);
        lows.emplace_back(start, start + picture_.pace.Ms(DisplayByteCount(frame.bytes)));
    }
    for (const auto& [from, to] : picture_.stalls) lows.emplace_back(static_cast<double>(from), static_cast<double>(to));
    std::sort(lows.begin(), lows.end());
    const double high = top + 10, low = top + kByteLaneHeight - 10;
    std::string points = Fixed(X(openMs)) + "," + Fixed(high);
    double drawnTo = X(openMs);
    for (const auto& [from, to] : lows) {
        if (from < static_cast<double>(openMs) || from > static_cast<double>(closedMs)) continue;
        const double start = std::max(X(from), drawnTo);
        const double end = std::max(X(std::min(to, static_cast<double>(closedMs))), start + 2);
        points += " "s + Fixed(start) + "," + Fixed(high) + " " + Fixed(start) + "," + Fixed(low) + " " + Fixed(end) +
                  "," + Fixed(low) + " " + Fixed(end) + "," + Fixed(high);
        drawnTo = end;
    }
    points += " "s + Fixed(X(closedMs)) + "," + Fixed(high);
    out_ += "<polyline fill=\"none\" stroke=\"#37474f\" stroke-width=\"1.5\" points=\""s + points + "\"/>\n";
}

void Drawing::BytesLane(double top, const std::vector<Chunk>& chunks, std::string_view colour, std::string_view what) {
    LaneName(top, kByteLaneHeight, std::string(what));
    for (const Chunk& chunk : chunks) {
        const std::size_t count = DisplayByteCount(chunk.bytes);
        const double start = X(chunk.ms);
        const double width = std::max(X(static_cast<double>(chunk.ms) + picture_.pace.Ms(count)) - start, 2.0);
        out_ += "<rect x=\""s + Fixed(start) + "\" y=\"" + Fixed(top + 10) + "\" width=\"" + Fixed(width) +
                "\" height=\"" + Fixed(kByteLaneHeight - 20) + "\" fill=\"" + std::string(colour) + "\"><title>" +
                std::to_string(count) + " bytes: " + XmlText(chunk.hover) + "</title></rect>\n";
    }
}

std::string_view OutcomeColour(Outcome outcome) {
    switch (outcome) {
        case Outcome::Taken: return kTakenColour;
        case Outcome::ModemError: return kModemErrorColour;
        case Outcome::Rejected: return kNotTakenColour;
        case Outcome::Cut: return kCutColour;
        case Outcome::TimedOut:
        case Outcome::Waiting: break;
    }
    return kTimeoutColour;
}

// Returns the lane's height.
double Drawing::MarkerLane(double top, const std::string& name, const Lane& content) {
    const std::vector<PlacedLabel> labels = Place(content);
    std::size_t rows = 1;
    for (const PlacedLabel& label : labels) rows = std::max(rows, std::min(label.row + 1, kMostLabelRows));
    const double height = kBarTop + kBarHeight + 4 + static_cast<double>(rows) * kLabelRowHeight + 4;
    LaneName(top, height, name);
    const double barTop = top + kBarTop;
    for (const Try& attempt : content.tries) {
        const std::int64_t end = attempt.endMs >= 0 ? attempt.endMs : picture_.endMs;
        const std::string colour(OutcomeColour(attempt.outcome));
        const double width = std::max(X(end) - X(attempt.startMs), 2.0);
        out_ += "<g><title>try "s + std::to_string(attempt.number) + ": " + std::to_string(attempt.startMs) + " to " +
                std::to_string(end) + " ms&#10;" + XmlText(attempt.hover) + "</title><rect x=\"" +
                Fixed(X(attempt.startMs)) + "\" y=\"" + Fixed(barTop) + "\" width=\"" + Fixed(width) + "\" height=\"" +
                Fixed(kBarHeight) + "\" fill=\"" + colour + "\" fill-opacity=\"0.2\" stroke=\"" + colour + "\"/>";
        if (width > 44) {
            // In the middle, clear of the marks at its ends.
            out_ += "<text x=\""s + Fixed(X(attempt.startMs) + width / 2) + "\" y=\"" + Fixed(barTop + kBarHeight - 4) +
                    "\" font-size=\"" + Fixed(kFontSize) + "\" text-anchor=\"middle\">try " +
                    std::to_string(attempt.number) + "</text>";
        }
        out_ += "</g>\n";
    }
    for (const PlacedLabel& label : labels) {
        const double x = X(label.firstMs);
        const double middle = barTop + kBarHeight / 2;
        const std::string colour(label.colour);
        out_ += "<g><title>"s + XmlText(label.hover) + "</title>";
        if (label.count > 1) {
            // The span the merged marks cover, as a band on the bar.
            out_ += "<rect x=\""s + Fixed(x) + "\" y=\"" + Fixed(middle - 3) + "\" width=\"" +
                    Fixed(std::max(X(label.lastMs) - x, 2.0)) + "\" height=\"6\" fill=\"" + colour + "\"/>";
        }
        out_ += "<path d=\"M"s + Fixed(x) + " " + Fixed(middle - 7) + " l5 7 l-5 7 l-5 -7 z\" fill=\"" + colour + "\"/>";
        if (label.row == kMostLabelRows) {
            out_ += "</g>\n";
            continue;
        }
        const double y = barTop + kBarHeight + 4 + static_cast<double>(label.row + 1) * kLabelRowHeight - 3;
        out_ += "<line x1=\""s + Fixed(x) + "\" x2=\"" + Fixed(x) + "\" y1=\"" + Fixed(middle + 7) + "\" y2=\"" +
                Fixed(y - 8) + "\" stroke=\"" + colour + "\" stroke-width=\"0.5\"/>";
        out_ += "<text x=\""s + Fixed(x + 2) + "\" y=\"" + Fixed(y) + "\" font-size=\"" + Fixed(kFontSize) +
                "\" fill=\"" + colour + "\">" + XmlText(label.label) +
                (label.count > 1 ? " &#215;"s + std::to_string(label.count) : ""s) + "</text></g>\n";
    }
    return height;
}

void Drawing::Legend(double y) {
    const std::array<std::pair<std::string_view, std::string_view>, 5> entries{{
        {kTakenColour, "reply taken (weight)"},
        {kModemErrorColour, "modem error"},
        {kNotTakenColour, "not taken / dropped"},
        {kTimeoutColour, "timeout, fault"},
        {kCutColour, "ended by the next request"},
    }};
    double x = kLeft;
    for (const auto& [colour, name] : entries) {
        out_ += "<rect x=\""s + Fixed(x) + "\" y=\"" + Fixed(y - 9) + "\" width=\"10\" height=\"10\" fill=\"" +
                std::string(colour) + "\"/><text x=\"" + Fixed(x + 14) + "\" y=\"" + Fixed(y) + "\">" +
                std::string(name) + "</text>\n";
        x += 190;
    }
    out_ += "<text x=\""s + Fixed(kLeft) + "\" y=\"" + Fixed(y + 18) +
            "\">bars: a station's tries, from the request to its verdict, its timeout or the next request; "
            "hover over a mark for its trace line</text>\n";
}

std::string Drawing::Svg(const TimelineRun& run) {
    // The lanes first, for the picture's height; the head goes in front after.
    out_.clear();
    double top = kTop;
    DtrLane(top);
    BytesLane(top += kByteLaneHeight, picture_.sent, kFrameColour, "sent");
    BytesLane(top += kByteLaneHeight, picture_.received, kReceivedColour, "received");
    top += kByteLaneHeight;
    top += MarkerLane(top, "line", picture_.line);
    for (const auto& [station, content] : picture_.stations) top += MarkerLane(top, "station "s + std::to_string(station), content);
    if (picture_.resultMs >= 0) {
        const std::string x = Fixed(X(picture_.resultMs));
        out_ += "<line x1=\""s + x + "\" x2=\"" + x + "\" y1=\"" + Fixed(kTop) + "\" y2=\"" + Fixed(top) +
                "\" stroke=\"black\" stroke-dasharray=\"4 3\"><title>" + XmlText(picture_.resultLine) +
                "</title></line>\n";
    }
    Legend(top + 30);
    const std::string lanes = std::move(out_);
    out_.clear();
    Axis(top);
    const double height = top + 64;
    const double width = kLeft + kPlotWidth + kRight;
    std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\""s +
                       Fixed(width) + "\" height=\"" + Fixed(height) + "\" viewBox=\"0 0 " + Fixed(width) + " " +
                       Fixed(height) + "\" font-family=\"sans-serif\" font-size=\"11\">\n";
    head += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    const std::string heading = picture_.runLine.empty() ? "(a run with no run line)" : std::string(picture_.runLine);
    head += "<text x=\"8\" y=\"18\" font-size=\"13\" font-weight=\"bold\">run "s + std::to_string(run.number) + ": " +
            XmlText(heading) + "</text>\n";
    std::string status = picture_.resultLine.empty() ? "no result line" : "result "s + std::string(picture_.resultLine);
    if (run.eventsLeftOut) status += "; "s + std::to_string(run.eventsLeftOut) + " later lines not drawn";
    head += "<text x=\"8\" y=\"36\">"s + XmlText(status) + "</text>\n";
    return head + out_ + lanes + "</svg>\n";
}

}  // namespace

void TimelineCollector::Add(std::string_view text) {
    const auto line = ParseTraceLine(text);
    if (!line || done_ || line->kind == TraceKind::Dropped) return;
    const RunSorter::Place place = sorter_.Next(*line);
    if (place.closes == run_.number) done_ = true;
    if (place.run != run_.number || done_) return;
    done_ = place.ends;
    if (run_.events.size() >= kMostEvents || run_.keptBytes + text.size() > kMostKeptBytes) {
        ++run_.eventsLeftOut;
        return;
    }
    run_.keptBytes += text.size();
    const auto bodyAt = static_cast<std::size_t>(line->body.data() - text.data());
    run_.events.push_back({line->ms, line->kind, std::string(text), bodyAt});
}

std::string TimelineSvg(const TimelineRun& run) {
    const Picture picture = Sort(run);
    return Drawing(picture).Svg(run);
}

std::string XmlText(std::string_view text) {
    std::string escaped;
    for (const char ch : text) {
        switch (ch) {
            case '&': escaped += "&amp;"; break;
            case '<': escaped += "&lt;"; break;
            case '>': escaped += "&gt;"; break;
            case '"': escaped += "&quot;"; break;
            case '\n': escaped += "&#10;"; break;  // hover text of several lines
            default: escaped += ch >= ' ' && ch <= '~' ? ch : '?';
        }
    }
    return escaped;
}

std::size_t DisplayByteCount(std::string_view text) {
    std::size_t count = 0;
    while (!text.empty()) {
        const std::size_t close = text.find('>');
        const bool code = text.front() == '<' && close != std::string_view::npos && close > 1 && close <= 4 &&
                          WholeNumberIn(text.substr(1, close - 1), 0, 255).has_value();
        text.remove_prefix(code ? close + 1 : 1);
        ++count;
    }
    return count;
}
