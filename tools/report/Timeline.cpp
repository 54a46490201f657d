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
constexpr double kRight = 190;       // labels of the last verdicts
constexpr double kTop = 64;
constexpr double kLaneHeight = 40;  // a row of labels above the bars and one below

constexpr double kLabelCharWidth = 5.6;  // at font size 10, for keeping labels apart

constexpr std::string_view kTakenColour = "#2e7d32";
constexpr std::string_view kModemErrorColour = "#ef6c00";
constexpr std::string_view kNotTakenColour = "#6a1b9a";
constexpr std::string_view kTimeoutColour = "#c62828";
constexpr std::string_view kFrameColour = "#1565c0";
constexpr std::string_view kReceivedColour = "#546e7a";

std::string Fixed(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// Speed and bits per character of the line, for how long a frame takes on
// it: from the settings in force, else the command line, else the defaults.
struct LinePace {
    std::int64_t speed = 9600;
    int bitsPerByte = 10;
    double Ms(std::size_t bytes) const { return static_cast<double>(bytes) * bitsPerByte * 1000.0 / static_cast<double>(speed); }
};

std::optional<LinePace> PaceOf(std::string_view speed, std::string_view data, std::string_view parity,
                               std::string_view stop) {
    const auto baud = WholeNumberIn(speed, 300, 115200);
    const auto dataBits = WholeNumberIn(data, 5, 8);
    const auto stopBits = WholeNumberIn(stop, 1, 2);
    if (!baud || !dataBits || !stopBits) return std::nullopt;
    return LinePace{*baud, static_cast<int>(1 + *dataBits + (parity == "None" ? 0 : 1) + *stopBits)};
}

LinePace PaceOfRun(const TimelineRun& run) {
    std::optional<LinePace> fromCommandLine;
    for (const TimelineEvent& event : run.events) {
        const Tokens tokens(event.body);
        if (event.kind == TraceKind::Settings) {
            // "refused speed=... -- in force 9600 8 None 1", or the four settings as asked.
            constexpr std::string_view kInForce = "in force ";
            const std::string_view free = tokens.FreeText();
            const Tokens inForce(tokens.At(0) != "refused" ? event.body
                                 : free.starts_with(kInForce) ? free.substr(kInForce.size())
                                                              : std::string_view());
            if (const auto pace = PaceOf(inForce.At(0), inForce.At(1), inForce.At(2), inForce.At(3))) return *pace;
        } else if (event.kind == TraceKind::Run) {
            fromCommandLine = PaceOf(tokens.At(4), tokens.At(5), tokens.At(6), tokens.At(7));
        }
    }
    return fromCommandLine.value_or(LinePace{});
}

enum class Outcome { Waiting, Taken, ModemError, TimedOut };

struct Try {
    int number;
    std::int64_t startMs;
    std::int64_t endMs = -1;
    Outcome outcome = Outcome::Waiting;
};

struct Marker {
    std::int64_t ms;
    std::string_view colour;
    std::string label;
    std::string detail;  // the line's body, shown on hover
};

struct Lane {
    std::vector<Try> tries;
    std::vector<Marker> markers;
};

// What the run's lines say, sorted into lanes.
struct Picture {
    LinePace pace;
    std::string runLine;
    std::string resultLine;
    std::int64_t resultMs = -1;
    std::int64_t endMs = 0;
    std::vector<std::pair<std::int64_t, std::string>> sent;      // ms, bytes
    std::vector<std::pair<std::int64_t, std::string>> received;  // ms, bytes
    Lane line;                                                   // verdicts with no station, faults
    std::map<int, Lane> stations;
};

void EndTry(Lane& lane, int number, std::int64_t ms, Outcome outcome) {
    for (Try& attempt : lane.tries) {
        if (attempt.number == number && attempt.outcome == Outcome::Waiting) {
            attempt.endMs = ms;
            attempt.outcome = outcome;
        }
    }
}

void AddReply(Picture& picture, const TimelineEvent& event) {
    const Tokens tokens(event.body);
    const std::string_view verdict = tokens.At(0);
    const auto answer = ParseStationTry(tokens);
    if ((verdict == "taken" || verdict == "modem-error") && answer) {
        Lane& lane = picture.stations[answer->station];
        const bool taken = verdict == "taken";
        const std::string label = taken ? std::string(tokens.Value("weight").value_or("?"))
                                        : "modem error: "s + std::string(tokens.Value("cause").value_or("?"));
        lane.markers.push_back({event.ms, taken ? kTakenColour : kModemErrorColour, label, event.body});
        EndTry(lane, answer->tryNumber, event.ms, taken ? Outcome::Taken : Outcome::ModemError);
        return;
    }
    const auto station = WholeNumberIn(tokens.Value("station").value_or(""), 1, TraceSummary::kStations);
    Lane& lane = station ? picture.stations[static_cast<int>(*station)] : picture.line;
    const std::string label = verdict == "not-taken" ? "not taken: "s + std::string(tokens.Value("reason").value_or("?"))
                                                     : std::string(verdict) + " " + std::string(tokens.At(1));
    lane.markers.push_back({event.ms, kNotTakenColour, label, event.body});
}

Picture Sort(const TimelineRun& run) {
    Picture picture;
    picture.pace = PaceOfRun(run);
    for (const TimelineEvent& event : run.events) {
        picture.endMs = std::max(picture.endMs, event.ms);
        const Tokens tokens(event.body);
        switch (event.kind) {
            case TraceKind::Run:
                picture.runLine = event.body;
                break;
            case TraceKind::Request:
                if (const auto asked = ParseStationTry(tokens)) {
                    Lane& lane = picture.stations[asked->station];
                    for (Try& earlier : lane.tries) {
                        if (earlier.outcome == Outcome::Waiting) earlier.endMs = event.ms;
                    }
                    lane.tries.push_back({asked->tryNumber, event.ms});
                }
                break;
            case TraceKind::Reply:
                AddReply(picture, event);
                break;
            case TraceKind::Timeout:
                if (const auto late = ParseStationTry(tokens)) {
                    Lane& lane = picture.stations[late->station];
                    lane.markers.push_back({event.ms, kTimeoutColour, "timeout", event.body});
                    EndTry(lane, late->tryNumber, event.ms, Outcome::TimedOut);
                }
                break;
            case TraceKind::Fault:
                picture.line.markers.push_back({event.ms, kTimeoutColour, std::string(tokens.At(0)), event.body});
                break;
            case TraceKind::Open:
                if (tokens.At(0) == "failed") {
                    picture.line.markers.push_back(
                        {event.ms, kTimeoutColour, "open failed: "s + std::string(tokens.At(1)), event.body});
                }
                break;
            case TraceKind::Sent:
                picture.sent.emplace_back(event.ms, event.body);
                break;
            case TraceKind::Received:
                picture.received.emplace_back(event.ms, event.body);
                break;
            case TraceKind::Result:
                picture.resultLine = event.body;
                picture.resultMs = event.ms;
                break;
            default:
                break;
        }
    }
    return picture;
}

// Draws the picture; x runs over the run's time, one lane below another.
class Drawing {
public:
    explicit Drawing(const Picture& picture) : picture_(picture) {
        const std::int64_t shown = std::max<std::int64_t>(picture.endMs, 1000);
        constexpr std::array<std::int64_t, 12> kSteps{100, 200, 500, 1000, 2000, 5000, 10000, 20000, 30000, 60000,
                                                      120000, 300000};
        step_ = kSteps.back();
        for (const std::int64_t step : kSteps) {
            if (shown / step < 12) {
                step_ = step;
                break;
            }
        }
        spanMs_ = (shown + step_ - 1) / step_ * step_;
    }

    std::string Svg(const TimelineRun& run);

private:
    double X(std::int64_t ms) const { return X(static_cast<double>(ms)); }
    double X(double ms) const { return kLeft + ms * kPlotWidth / static_cast<double>(spanMs_); }
    double LaneTop(int lane) const { return kTop + lane * kLaneHeight; }
    void LaneName(int lane, const std::string& name);
    void Axis(int lanes);
    void DtrLane(int lane);
    void BytesLane(int lane, const std::vector<std::pair<std::int64_t, std::string>>& chunks,
                   std::string_view colour, std::string_view what);
    void MarkerLane(int lane, const Lane& content);
    void Legend(double y);

    const Picture& picture_;
    std::int64_t step_ = 1000;
    std::int64_t spanMs_ = 1000;
    std::string out_;
};

void Drawing::LaneName(int lane, const std::string& name) {
    const double top = LaneTop(lane);
    out_ += "<line x1=\"0\" x2=\""s + Fixed(kLeft + kPlotWidth + kRight) + "\" y1=\"" + Fixed(top + kLaneHeight) +
            "\" y2=\"" + Fixed(top + kLaneHeight) + "\" stroke=\"#e0e0e0\"/>\n";
    out_ += "<text x=\"8\" y=\""s + Fixed(top + 24) + "\" font-weight=\"bold\">" + XmlText(name) + "</text>\n";
}

void Drawing::Axis(int lanes) {
    const double bottom = LaneTop(lanes);
    for (std::int64_t ms = 0; ms <= spanMs_; ms += step_) {
        const std::string x = Fixed(X(ms));
        char label[32];
        std::snprintf(label, sizeof label, step_ < 1000 ? "%.1f s" : "%.0f s", static_cast<double>(ms) / 1000.0);
        out_ += "<line x1=\""s + x + "\" x2=\"" + x + "\" y1=\"" + Fixed(kTop - 6) + "\" y2=\"" + Fixed(bottom) +
                "\" stroke=\"#cfd8dc\"/>\n";
        out_ += "<text x=\""s + x + "\" y=\"" + Fixed(kTop - 10) + "\" text-anchor=\"middle\">" + label + "</text>\n";
    }
}

// DTR is up between frames and low while each frame (fill bytes included)
// goes out.
void Drawing::DtrLane(int lane) {
    LaneName(lane, "DTR");
    const double high = LaneTop(lane) + 10, low = LaneTop(lane) + kLaneHeight - 10;
    std::string points = Fixed(X(std::int64_t{0})) + "," + Fixed(high);
    for (const auto& [ms, bytes] : picture_.sent) {
        const double start = X(ms);
        const double end = std::max(X(static_cast<double>(ms) + picture_.pace.Ms(DisplayByteCount(bytes))), start + 2);
        points += " "s + Fixed(start) + "," + Fixed(high) + " " + Fixed(start) + "," + Fixed(low) + " " + Fixed(end) +
                  "," + Fixed(low) + " " + Fixed(end) + "," + Fixed(high);
    }
    points += " "s + Fixed(X(spanMs_)) + "," + Fixed(high);
    out_ += "<polyline fill=\"none\" stroke=\"#37474f\" stroke-width=\"1.5\" points=\""s + points + "\"/>\n";
}

void Drawing::BytesLane(int lane, const std::vector<std::pair<std::int64_t, std::string>>& chunks,
                        std::string_view colour, std::string_view what) {
    LaneName(lane, std::string(what));
    for (const auto& [ms, bytes] : chunks) {
        const std::size_t count = DisplayByteCount(bytes);
        const double start = X(ms);
        const double width = std::max(X(static_cast<double>(ms) + picture_.pace.Ms(count)) - start, 2.0);
        out_ += "<rect x=\""s + Fixed(start) + "\" y=\"" + Fixed(LaneTop(lane) + 10) + "\" width=\"" + Fixed(width) +
                "\" height=\"" + Fixed(kLaneHeight - 20) + "\" fill=\"" + std::string(colour) + "\"><title>" +
                std::to_string(ms) + " ms, " + std::to_string(count) + " bytes: " + XmlText(bytes) +
                "</title></rect>\n";
    }
}

void Drawing::MarkerLane(int lane, const Lane& content) {
    const double top = LaneTop(lane);
    for (const Try& attempt : content.tries) {
        const std::int64_t end = attempt.endMs >= 0 ? attempt.endMs : picture_.endMs;
        const std::string_view colour = attempt.outcome == Outcome::Taken        ? kTakenColour
                                        : attempt.outcome == Outcome::ModemError ? kModemErrorColour
                                                                                 : kTimeoutColour;
        const double width = std::max(X(end) - X(attempt.startMs), 2.0);
        out_ += "<rect x=\""s + Fixed(X(attempt.startMs)) + "\" y=\"" + Fixed(top + 15) + "\" width=\"" + Fixed(width) +
                "\" height=\"10\" fill=\"" + std::string(colour) + "\" fill-opacity=\"0.25\" stroke=\"" +
                std::string(colour) + "\"><title>try " + std::to_string(attempt.number) + ": " +
                std::to_string(attempt.startMs) + " to " + std::to_string(end) + " ms</title></rect>\n";
        if (width > 40) {
            // In the middle, clear of the verdicts at the ends.
            out_ += "<text x=\""s + Fixed(X(attempt.startMs) + width / 2) + "\" y=\"" + Fixed(top + 23.5) +
                    "\" font-size=\"8\" text-anchor=\"middle\">try " + std::to_string(attempt.number) + "</text>\n";
        }
    }
    // Labels go above the bars, or below when the one before is in the way.
    std::array<double, 2> rowEnds{0, 0};
    for (const Marker& marker : content.markers) {
        const double x = X(marker.ms);
        const std::size_t row = x + 7 >= rowEnds[0] ? 0 : x + 7 >= rowEnds[1] ? 1 : rowEnds[0] <= rowEnds[1] ? 0 : 1;
        rowEnds[row] = x + 7 + kLabelCharWidth * static_cast<double>(marker.label.size()) + 6;
        const std::string colour(marker.colour);
        out_ += "<g><title>"s + std::to_string(marker.ms) + " ms: " + XmlText(marker.detail) + "</title>";
        out_ += "<path d=\"M"s + Fixed(x) + " " + Fixed(top + 10) + " l5 10 l-5 10 l-5 -10 z\" fill=\"" + colour + "\"/>";
        out_ += "<text x=\""s + Fixed(x + 6) + "\" y=\"" + Fixed(top + (row == 0 ? 10 : 38)) +
                "\" font-size=\"10\" fill=\"" + colour + "\">" + XmlText(marker.label) + "</text></g>\n";
    }
}

void Drawing::Legend(double y) {
    const std::array<std::pair<std::string_view, std::string_view>, 4> entries{{
        {kTakenColour, "reply taken (weight)"},
        {kModemErrorColour, "modem error"},
        {kNotTakenColour, "not taken / dropped"},
        {kTimeoutColour, "timeout, fault"},
    }};
    double x = kLeft;
    for (const auto& [colour, name] : entries) {
        out_ += "<rect x=\""s + Fixed(x) + "\" y=\"" + Fixed(y - 9) + "\" width=\"10\" height=\"10\" fill=\"" +
                std::string(colour) + "\"/><text x=\"" + Fixed(x + 14) + "\" y=\"" + Fixed(y) + "\">" +
                std::string(name) + "</text>\n";
        x += 170;
    }
    out_ += "<text x=\""s + Fixed(x) + "\" y=\"" + Fixed(y) + "\">bars: a station's tries, request to verdict</text>\n";
}

std::string Drawing::Svg(const TimelineRun& run) {
    const int lanes = 4 + static_cast<int>(picture_.stations.size());
    const double height = LaneTop(lanes) + 64;
    const double width = kLeft + kPlotWidth + kRight;
    out_ = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\""s +
           Fixed(width) + "\" height=\"" + Fixed(height) + "\" viewBox=\"0 0 " + Fixed(width) + " " + Fixed(height) +
           "\" font-family=\"sans-serif\" font-size=\"11\">\n";
    out_ += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    const std::string heading = picture_.runLine.empty() ? "(a run with no run line)" : picture_.runLine;
    out_ += "<text x=\"8\" y=\"18\" font-size=\"13\" font-weight=\"bold\">run "s + std::to_string(run.number) + ": " +
            XmlText(heading) + "</text>\n";
    std::string status = picture_.resultLine.empty() ? "no result line" : "result "s + picture_.resultLine;
    if (run.eventsLeftOut) status += "; "s + std::to_string(run.eventsLeftOut) + " later lines not drawn";
    out_ += "<text x=\"8\" y=\"36\">"s + XmlText(status) + "</text>\n";
    Axis(lanes);
    DtrLane(0);
    BytesLane(1, picture_.sent, kFrameColour, "sent");
    BytesLane(2, picture_.received, kReceivedColour, "received");
    LaneName(3, "line");
    MarkerLane(3, picture_.line);
    int lane = 4;
    for (const auto& [station, content] : picture_.stations) {
        LaneName(lane, "station "s + std::to_string(station));
        MarkerLane(lane++, content);
    }
    if (picture_.resultMs >= 0) {
        const std::string x = Fixed(X(picture_.resultMs));
        out_ += "<line x1=\""s + x + "\" x2=\"" + x + "\" y1=\"" + Fixed(kTop) + "\" y2=\"" + Fixed(LaneTop(lanes)) +
                "\" stroke=\"black\" stroke-dasharray=\"4 3\"><title>result " + XmlText(picture_.resultLine) +
                "</title></line>\n";
    }
    Legend(LaneTop(lanes) + 30);
    return out_ + "</svg>\n";
}

}  // namespace

void TimelineCollector::Add(std::string_view text) {
    const auto line = ParseTraceLine(text);
    if (!line || done_ || line->kind == TraceKind::Dropped) return;
    const RunSorter::Place place = sorter_.Next(*line);
    if (place.closes == run_.number) done_ = true;
    if (place.run != run_.number || done_) return;
    done_ = place.ends;
    if (run_.events.size() >= kMostEvents) {
        ++run_.eventsLeftOut;
        return;
    }
    run_.events.push_back({line->ms, line->kind, std::string(line->body.substr(0, kLongestBody))});
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
