// Traces for the report's tests, written in the trace's line format: a site's
// trace of many runs of a known mix, and small pieces of it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tools/report/TraceLine.h"

// One trace line: time right-aligned in 7 columns, the kind in 9.
inline std::string Line(std::int64_t ms, std::string_view kind, std::string_view body) {
    char head[32];
    std::snprintf(head, sizeof head, "%7lld %-9.*s", static_cast<long long>(ms), static_cast<int>(kind.size()),
                  kind.data());
    return head + std::string(body) + "\n";
}

// The same line as written by the run marked `mark` (format 2).
inline std::string Marked(std::string_view mark, std::int64_t ms, std::string_view kind, std::string_view body) {
    return std::string(mark) + " " + Line(ms, kind, body);
}

// Lines of several runs taken in turn, one from each, as runs appending to
// one file at once write them.
inline std::string Interleave(const std::vector<std::vector<std::string>>& runs) {
    std::string trace;
    for (std::size_t at = 0;; ++at) {
        bool any = false;
        for (const std::vector<std::string>& run : runs) {
            if (at >= run.size()) continue;
            trace += run[at];
            any = true;
        }
        if (!any) return trace;
    }
}

// Runs a minute apart, stations 3, 7 and 12 asked in each:
// - every 25th run (r % 25 == 24) the port fails to open (busy) and every
//   station times out three times;
// - otherwise station 3 answers at the first try; station 7 answers at the
//   first try, but when r % 4 == 0 its first reply has a bad checksum and it
//   answers at the second, with disagreeing readings when r % 20 == 0;
//   station 12 answers at the first try unless r % 5 == 0, when it is silent.
struct KnownMix {
    std::string trace;
    std::map<int, std::vector<std::int64_t>> answerMs;  // by station
};

inline KnownMix MakeKnownMix(int runs) {
    KnownMix mix;
    const std::int64_t start = *ParseUtcTime("2026-11-01T06:00:00.000Z");
    auto silent = [&](int station, std::int64_t& t) {
        for (int attempt = 1; attempt <= 3; ++attempt) {
            const std::string who = "station=" + std::to_string(station) + " try=" + std::to_string(attempt);
            mix.trace += Line(t, "request", who) + Line(t, "sent", "<255><255><255><2>30?M<13><4><255><255><255>");
            t += 5000;
            mix.trace += Line(t, "timeout", who);
        }
    };
    auto answers = [&](int station, int attempt, std::int64_t& t, std::int64_t after, std::string_view verdict) {
        const std::string who = "station=" + std::to_string(station) + " try=" + std::to_string(attempt);
        mix.trace += Line(t, "request", who) + Line(t, "sent", "<255><255><255><2>30?M<13><4><255><255><255>");
        t += after;
        mix.trace += Line(t, "received", "<2>0302<32>!0001250<32><32>!0001250<32><32>!0001250<32><13>!");
        mix.trace += Line(t, "reply", std::string(verdict) + " " + who +
                                          (verdict == "taken" ? " weight=1250 settled=yes" : " cause=disagree reading=2"));
        mix.answerMs[station].push_back(after);
    };
    for (int r = 0; r < runs; ++r) {
        mix.trace += Line(0, "run", FormatUtcTime(start + r * 60000) + " scalepoll 1.1.0 COM1 9600 8 None 1 3 7 12");
        mix.trace += Line(0, "port", "COM1 /dev/ttyUSB0");
        std::int64_t t = 5000;
        if (r % 25 == 24) {
            mix.trace += Line(1, "open", "failed busy -- Device or resource busy; held by 4242 (minicom)");
            silent(3, t);
            silent(7, t);
            silent(12, t);
            mix.trace += Line(t, "result", "0;3,1,0;7,1,0;12,1,0");
            continue;
        }
        mix.trace += Line(1, "open", "ok") + Line(1, "settings", "9600 8 None 1") + Line(2, "trigger", "sequence=2");
        answers(3, 1, t, 100 + r % 50, "taken");
        if (r % 4 == 0) {
            const std::int64_t asked = t;
            mix.trace += Line(t, "request", "station=7 try=1") + Line(t + 150, "reply", "not-taken reason=checksum station=7");
            t = asked + 5000;
            mix.trace += Line(t, "timeout", "station=7 try=1");
            answers(7, 2, t, 120, r % 20 == 0 ? "modem-error" : "taken");
        } else {
            answers(7, 1, t, 130, "taken");
        }
        if (r % 5 == 0) {
            silent(12, t);
        } else {
            answers(12, 1, t, 200, "taken");
        }
        mix.trace += Line(t, "result", r % 20 == 0 ? "2;Modem error" : "0;3,0,1250;7,0,1250;12,0,1250");
    }
    return mix;
}
