// One run's timeline picture: the collector picks out the run asked for, and
// the SVG draws each frame, reply, verdict and timeout, as well-formed XML
// whatever bytes the trace holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "tools/report/Timeline.h"
#include "tools/report/tests/TraceFixtures.h"

namespace {

TimelineRun Collect(std::string_view trace, std::uint64_t runNumber) {
    TimelineCollector collector(runNumber);
    LineSplitter splitter([&](std::string_view line) { collector.Add(line); });
    splitter.Feed(trace);
    return collector.Run();
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

bool EntityAt(const std::string& text, std::size_t at) {
    for (const char* entity : {"&amp;", "&lt;", "&gt;", "&quot;", "&#10;", "&#215;"}) {
        if (text.compare(at, std::string_view(entity).size(), entity) == 0) return true;
    }
    return false;
}

// Every tag closed in order, '&' only in the entities XmlText writes, no '<'
// or '>' outside markup, only printable ASCII: what a browser needs to show
// the picture at all.
::testing::AssertionResult WellFormed(const std::string& svg) {
    std::vector<std::string> open;
    for (std::size_t at = 0; at < svg.size(); ++at) {
        const char ch = svg[at];
        if ((ch < ' ' || ch > '~') && ch != '\n') return ::testing::AssertionFailure() << "byte " << int(ch) << " at " << at;
        if (ch == '&' && !EntityAt(svg, at)) return ::testing::AssertionFailure() << "bare & at " << at;
        if (ch == '>') return ::testing::AssertionFailure() << "stray > at " << at;
        if (ch != '<') continue;
        const std::size_t close = svg.find('>', at);
        if (close == std::string::npos) return ::testing::AssertionFailure() << "tag at " << at << " not ended";
        const std::string tag = svg.substr(at + 1, close - at - 1);
        if (tag.find('<') != std::string::npos) return ::testing::AssertionFailure() << "< inside the tag at " << at;
        for (std::size_t amp = tag.find('&'); amp != std::string::npos; amp = tag.find('&', amp + 1)) {
            if (!EntityAt(tag, amp)) return ::testing::AssertionFailure() << "bare & in the tag at " << at;
        }
        const std::string name = tag.substr(tag.front() == '/', tag.find_first_of(" />", 1) - (tag.front() == '/'));
        if (tag.front() == '/') {
            if (open.empty() || open.back() != name) return ::testing::AssertionFailure() << "</" << name << "> unopened";
            open.pop_back();
        } else if (tag.front() != '?' && tag.back() != '/') {
            open.push_back(name);
        }
        at = close;
    }
    if (!open.empty()) return ::testing::AssertionFailure() << "<" << open.back() << "> not closed";
    return ::testing::AssertionSuccess();
}

// The points of the first polyline: the DTR lane's.
std::string DtrPoints(const std::string& svg) {
    const std::size_t polyline = svg.find("<polyline");
    const std::size_t points = svg.find("points=\"", polyline);
    if (polyline == std::string::npos || points == std::string::npos) return {};
    const std::size_t start = points + 8;
    return svg.substr(start, svg.find('"', start) - start);
}

const std::string kFaultyStationRun =
    Line(0, "run", "2026-12-11T05:57:50.123Z scalepoll 1.1.0 COM1 9600 8 None 1 3 7 12") +
    Line(0, "port", "COM1 /dev/pts/4") + Line(0, "open", "ok") + Line(0, "settings", "9600 8 None 1") +
    Line(0, "trigger", "sequence=2") + Line(0, "sent", "<255><255><255><2>*0MW02<13><145><255><255><255>") +
    Line(5000, "request", "station=3 try=1") + Line(5000, "sent", "<255><255><255><2>30?M<13><4><255><255><255>") +
    Line(5150, "received", "<2>0302<32>!0001250<32><32>!0001250<32><32>!0001250<32><13>!") +
    Line(5150, "reply", "taken station=3 try=1 weight=1250 settled=yes") +
    Line(5150, "request", "station=7 try=1") + Line(5150, "sent", "<255><255><255><2>70?M<13><0><255><255><255>") +
    Line(5300, "received", "<2>0702<32>!0001250<32><32>!0001250<32><32>!0001250<32><13>\"") +
    Line(5300, "reply", "not-taken reason=checksum station=7 -- <&> in the text") +
    Line(10150, "timeout", "station=7 try=1") + Line(10150, "request", "station=7 try=2") +
    Line(10150, "sent", "<255><255><255><2>70?M<13><0><255><255><255>") +
    Line(10300, "reply", "modem-error station=7 try=2 cause=disagree reading=2") +
    Line(10300, "request", "station=12 try=1") + Line(15300, "timeout", "station=12 try=1") +
    Line(15300, "reply", "dropped bytes=113 -- over 112 bytes without a frame") +
    Line(15300, "result", "2;Modem error");

TEST(TimelineTest, DrawsEachFrameReplyVerdictAndTimeout) {
    const std::string svg = TimelineSvg(Collect(kFaultyStationRun, 1));
    EXPECT_TRUE(WellFormed(svg));
    for (const char* shown : {">station 3<", ">station 7<", ">station 12<", ">1250<", ">not taken: checksum<",
                              ">modem error: disagree<", ">timeout<", ">dropped<", "result 2;Modem error",
                              "&lt;&amp;&gt; in the text", "run 1: 2026-12-11T05:57:50.123Z scalepoll 1.1.0"}) {
        EXPECT_NE(svg.find(shown), std::string::npos) << shown;
    }
    EXPECT_EQ(Count(svg, "fill=\"#1565c0\""), 4u);   // the frames sent
    EXPECT_EQ(Count(svg, "fill=\"#546e7a\""), 2u);   // the chunks received
    EXPECT_EQ(Count(svg, "<title>try "), 4u);        // station 3 once, 7 twice, 12 once
    // DTR goes low and back up once per frame: four points each, and the two ends.
    const std::string points = DtrPoints(svg);
    EXPECT_EQ(static_cast<std::size_t>(std::count(points.begin(), points.end(), ' ')) + 1, 4u * 4 + 2) << points;
}

TEST(TimelineTest, PicksTheRunAskedForAndStopsAfterIt) {
    // An undated run from an older version, then two dated ones.
    const std::string trace = Line(5000, "request", "station=5 try=1") + Line(20000, "result", "0;5,1,0") +
                              kFaultyStationRun +
                              Line(0, "run", "2026-12-11T06:00:00.000Z scalepoll 1.1.0 COM1 9600 8 None 1 9");
    TimelineCollector collector(2);
    LineSplitter splitter([&](std::string_view line) { collector.Add(line); });
    splitter.Feed(trace);
    EXPECT_TRUE(collector.Done());
    EXPECT_EQ(collector.Run().events.front().kind, TraceKind::Run);
    EXPECT_EQ(collector.Run().events.back().kind, TraceKind::Result);
    EXPECT_EQ(collector.Run().events.size(), 22u);

    const std::string first = TimelineSvg(Collect(trace, 1));
    EXPECT_NE(first.find("(a run with no run line)"), std::string::npos);
    EXPECT_NE(first.find(">station 5<"), std::string::npos);
    EXPECT_EQ(first.find(">station 3<"), std::string::npos);
}

TEST(TimelineTest, AnyBytesGiveAWellFormedPicture) {
    const std::string trace = Line(0, "run", "2026-12-11T05:57:50.123Z scalepoll \"<x>\" COM1 &amp; 0 99 Odd 7") +
                              Line(0, "settings", "refused parity=Mark -- in force") +
                              Line(3, "received", std::string("\x01\xff<2><999><<>>&\"", 16)) +
                              Line(4, "reply", "taken station=3 try=1 weight=<script> settled=yes") +
                              Line(5, "reply", "not-taken reason=</svg>") + Line(900000, "result", "0;\x7f");
    EXPECT_TRUE(WellFormed(TimelineSvg(Collect(trace, 1))));
}

// The x of each point of the DTR polyline with the y of its low level, as
// spans from where it goes low to where it comes back up.
std::vector<std::pair<double, double>> DtrLows(const std::string& svg) {
    std::vector<std::pair<double, double>> points;
    std::istringstream text(DtrPoints(svg));
    std::string point;
    while (text >> point) points.emplace_back(std::stod(point), std::stod(point.substr(point.find(',') + 1)));
    double lowY = 0;
    for (const auto& [x, y] : points) lowY = std::max(lowY, y);
    std::vector<std::pair<double, double>> lows;
    for (std::size_t n = 1; n < points.size(); ++n) {
        if (points[n - 1].second == lowY && points[n].second == lowY) lows.emplace_back(points[n - 1].first, points[n].first);
    }
    return lows;
}

struct Label {
    double x, y;
    std::string text;
};

// The value of the attribute `name` in the tag that begins at `at`.
std::string Attribute(const std::string& svg, std::size_t at, const std::string& name) {
    const std::size_t end = svg.find('>', at);
    const std::size_t found = svg.find(" " + name + "=\"", at);
    if (found == std::string::npos || found > end) return {};
    const std::size_t start = found + name.size() + 3;
    return svg.substr(start, svg.find('"', start) - start);
}

// The labels of the marks: the texts the picture draws in a mark's colour.
std::vector<Label> MarkLabels(const std::string& svg) {
    std::vector<Label> labels;
    for (std::size_t at = svg.find("<text "); at != std::string::npos; at = svg.find("<text ", at + 1)) {
        if (Attribute(svg, at, "font-size") != "10.0" || !Attribute(svg, at, "fill").starts_with("#")) continue;
        const std::size_t start = svg.find('>', at) + 1;
        labels.push_back({std::stod(Attribute(svg, at, "x")), std::stod(Attribute(svg, at, "y")),
                          svg.substr(start, svg.find("</text>", start) - start)});
    }
    return labels;
}

// What the picture shows of a run where the line and the stations misbehave
// in the ways a site meets.
TEST(TimelineTest, TriesRejectsLabelsAndDtrWhereTheyHappened) {
    const std::string mark = "r9-00000001";
    std::string trace = Marked(mark, 0, "run", "2026-12-11T06:00:00.000Z scalepoll 1.2.0 COM1 9600 8 None 1 3 6 7") +
                        Marked(mark, 0, "port", "COM1 /dev/pts/3") + Marked(mark, 0, "open", "ok") +
                        Marked(mark, 5001, "request", "station=3 try=1") +
                        Marked(mark, 5155, "reply", "not-taken reason=address -- address 0") +
                        Marked(mark, 5155, "request", "station=3 try=2") +
                        Marked(mark, 5305, "reply", "taken station=3 try=2 weight=7 settled=yes") +
                        Marked(mark, 10151, "request", "station=6 try=1") +
                        Marked(mark, 15151, "request", "station=7 try=1");
    for (int n = 0; n < 170; ++n) trace += Marked(mark, 15200 + n * 20, "reply", "dropped bytes=113 held=none -- noise");
    trace += Marked(mark, 20151, "timeout", "station=7 try=1") + Marked(mark, 20151, "request", "station=7 try=2") +
             Marked(mark, 24155, "fault", "drain-cut-short -- stalled") +
             Marked(mark, 25151, "timeout", "station=7 try=2") + Marked(mark, 25151, "result", "0;3,0,7;6,1,0;7,1,0");
    const std::string svg = TimelineSvg(Collect(trace, 1));
    EXPECT_TRUE(WellFormed(svg));
    // Each try ends at its verdict, its timeout or the next request.
    for (const char* shown : {"<title>try 1: 5001 to 5155 ms", "<title>try 2: 5155 to 5305 ms",
                              "<title>try 1: 10151 to 15151 ms", "<title>try 1: 15151 to 20151 ms"}) {
        EXPECT_NE(svg.find(shown), std::string::npos) << shown;
    }
    // The reject is drawn in station 3's lane, the storm as one label on station 7's.
    const std::size_t three = svg.find(">station 3<"), six = svg.find(">station 6<"), seven = svg.find(">station 7<");
    const std::size_t address = svg.find(">not taken: address<");
    EXPECT_TRUE(three < address && address < six) << three << " " << address << " " << six;
    EXPECT_GT(svg.find(">dropped &#215;170<"), seven);
    // No two labels in one row overlap (at most 6.2 px a character at font size 10).
    const std::vector<Label> labels = MarkLabels(svg);
    ASSERT_GE(labels.size(), 5u);
    for (const Label& a : labels) {
        for (const Label& b : labels) {
            if (&a == &b || a.y != b.y || a.x > b.x) continue;
            EXPECT_GE(b.x, a.x + 6.2 * static_cast<double>(a.text.size()) - 1) << a.text << " / " << b.text;
        }
    }
    // Hovering a mark shows its whole trace line.
    EXPECT_NE(svg.find("<title>r9-00000001    5155 reply    not-taken reason=address -- address 0</title>"),
              std::string::npos);
    // DTR stays low through the stalled send, from station 7's second request to the fault.
    const auto lows = DtrLows(svg);
    ASSERT_FALSE(lows.empty());
    const auto longest = *std::max_element(lows.begin(), lows.end(), [](const auto& a, const auto& b) {
        return a.second - a.first < b.second - b.first;
    });
    EXPECT_NEAR(longest.second - longest.first, (24155.0 - 20151.0) * 1000.0 / 30000.0, 1.0);  // 30 s across 1000 px
    // Text inside the bars and in the labels is legible.
    for (std::size_t at = svg.find(" font-size=\""); at != std::string::npos; at = svg.find(" font-size=\"", at + 1)) {
        EXPECT_GE(std::stod(svg.substr(at + 12)), 10.0);
    }
}

// Marks of many kinds at one time: the labels that fit stack in a few rows,
// the rest are marks without a label, and none overlaps another.
TEST(TimelineTest, ManyLabelsAtOneTimeKeepTheLaneBounded) {
    std::string trace = Line(0, "run", "2026-12-11T06:00:00.000Z scalepoll 1.2.0 COM1");
    for (int n = 0; n < 50; ++n) trace += Line(5000, "fault", "reason" + std::to_string(n) + " -- a damaged trace");
    const std::string svg = TimelineSvg(Collect(trace, 1));
    EXPECT_TRUE(WellFormed(svg));
    const std::vector<Label> labels = MarkLabels(svg);
    std::vector<double> rows;
    for (const Label& label : labels) {
        if (std::find(rows.begin(), rows.end(), label.y) == rows.end()) rows.push_back(label.y);
    }
    EXPECT_EQ(labels.size(), rows.size());  // one per row at the same time
    EXPECT_LE(rows.size(), 6u);
    EXPECT_EQ(Count(svg, "<title>   5000 fault    reason"), 50u);  // every mark still shows its line
}

TEST(TimelineTest, NoDtrWhereThePortWasNotOpen) {
    const std::string trace = Line(0, "run", "2026-12-11T06:00:00.000Z scalepoll 1.2.0 COM1 9600 8 None 1 3") +
                              Line(0, "port", "COM1 /dev/ttyUSB7") +
                              Line(0, "open", "failed missing -- No such file or directory") +
                              Line(5000, "request", "station=3 try=1") + Line(10000, "timeout", "station=3 try=1") +
                              Line(10000, "result", "0;3,1,0");
    const std::string svg = TimelineSvg(Collect(trace, 1));
    EXPECT_EQ(svg.find("<polyline"), std::string::npos);
    EXPECT_NE(svg.find(">port not open<"), std::string::npos);
}

// A damaged time makes neither the axis nor the picture grow: a dozen ticks
// at most, and a size bounded per line.
TEST(TimelineTest, AnyTimesGiveABoundedPicture) {
    for (const std::int64_t lastMs : {std::int64_t{0}, std::int64_t{999}, std::int64_t{25151},
                                      std::int64_t{999'999'999'999}}) {
        const std::string trace = Line(0, "run", "2026-12-11T06:00:00.000Z scalepoll 1.2.0 COM1") +
                                  Line(5000, "request", "station=3 try=1") + Line(lastMs, "timeout", "station=3 try=1");
        const std::string svg = TimelineSvg(Collect(trace, 1));
        EXPECT_TRUE(WellFormed(svg)) << lastMs;
        EXPECT_LE(Count(svg, " s</text>"), 13u) << lastMs;
        EXPECT_LT(svg.size(), 20'000u) << lastMs;
    }
}

TEST(TimelineTest, DisplayByteCount) {
    const std::pair<std::string_view, std::size_t> cases[] = {
        {"", 0}, {"AB", 2}, {"<2>30?M<13><4>", 7}, {"<255><255><255>", 3}, {"<1234>", 6}, {"<x>", 3}, {"<>", 2},
        {"<2", 2}, {"<<2>", 2},
    };
    for (const auto& [text, count] : cases) EXPECT_EQ(DisplayByteCount(text), count) << text;
}

}  // namespace
