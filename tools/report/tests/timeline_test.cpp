// One run's timeline picture: the collector picks out the run asked for, and
// the SVG draws each frame, reply, verdict and timeout, as well-formed XML
// whatever bytes the trace holds.
#include <gtest/gtest.h>

#include <algorithm>

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

TEST(TimelineTest, DisplayByteCount) {
    const std::pair<std::string_view, std::size_t> cases[] = {
        {"", 0}, {"AB", 2}, {"<2>30?M<13><4>", 7}, {"<255><255><255>", 3}, {"<1234>", 6}, {"<x>", 3}, {"<>", 2},
        {"<2", 2}, {"<<2>", 2},
    };
    for (const auto& [text, count] : cases) EXPECT_EQ(DisplayByteCount(text), count) << text;
}

}  // namespace
