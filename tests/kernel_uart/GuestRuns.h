// What the kernel-driver guests share: the protocol's times as the tests
// allow for them on an emulated guest, the runs over every framing, reading
// what the guest's init printed on its console, and the check that the drain
// lets every reply be read within one read tick.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "poll/Frames.h"
#include "tests/support/Program.h"

constexpr std::int64_t kNoStationMs = 5000;        // trigger frame to the end of a run with no station
constexpr std::int64_t kSilentStationMs = 15000;   // asked three times, 5000 ms apart
constexpr std::int64_t kEarlyMs = 50;
constexpr std::int64_t kLateMs = 2000;             // the guest is emulated on a busy machine
constexpr std::int64_t kReplyDelayMs = 100;        // scalepoll-sim's wait before it answers
constexpr std::int64_t kReadTickMs = 50;           // the serial driver's read timer
constexpr std::int64_t kReplyBytesMs = 100;        // the reply's bytes, on an emulated guest on a busy machine

inline std::string Filled(const std::string& frame) { return "\xFF\xFF\xFF" + frame + "\xFF\xFF\xFF"; }

struct GuestRun {
    std::string name;
    Strings parameters;  // scalepoll's, after the program name
    std::string resultLine;
    std::int64_t protocolMs;
};

struct LineRun {
    GuestRun run;
    Strings frames;  // as they reached the device, in order
};

// One after another on `port`: an answering and a silent station, then runs
// with no station (0 is skipped), each of which sends its trigger frame and
// ends 5 s later. Together they take every speed, both data bits, every
// parity and both stop bits at least once.
inline std::vector<LineRun> LineRuns(const std::string& port) {
    const std::string trigger = Filled(TriggerFrame(2));
    std::vector<LineRun> runs{
        {{"answering-and-silent", {port, "9600", "8", "None", "1", "3", "12"}, "0;3,0,1250;12,1,0",
          kNoStationMs + kSilentStationMs},
         {trigger, Filled(ReadRequest(3)), Filled(ReadRequest(12)), Filled(ReadRequest(12)), Filled(ReadRequest(12))}},
    };
    const Strings framings[] = {{"300", "7", "Even", "2"},  {"600", "8", "Odd", "1"},   {"1200", "7", "Mark", "1"},
                                {"2400", "8", "Space", "2"}, {"4800", "7", "None", "2"}, {"19200", "8", "Even", "1"}};
    for (const Strings& framing : framings) {
        Strings parameters{port};
        parameters.insert(parameters.end(), framing.begin(), framing.end());
        parameters.push_back("0");
        runs.push_back({{"framing-" + framing[0], parameters, "0;", kNoStationMs}, {trigger}});
    }
    return runs;
}

// One line of a run's line trace: milliseconds since its start, what it was
// ("sent", "received", "reply", "fault", ...) and what it says.
struct TraceEntry {
    std::int64_t ms = 0;
    std::string kind;
    std::string body;
};

// What the guest's init printed for the host, in lines "PREFIX KIND ...".
struct GuestConsole {
    std::int64_t guestBootMs = -1;  // "booted-ms MS": the guest's uptime when its runs began
    std::map<std::string, std::vector<TraceEntry>> traces;  // "trace RUN MARK MS KIND", by run
    std::map<std::string, std::string> results;  // "result RUN ...": what follows the run's name, by run
};

inline GuestConsole ReadGuestConsole(const std::string& console, const std::string& prefix) {
    GuestConsole printed;
    std::istringstream lines(console);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream words(line);
        std::string linePrefix, kind, name;
        words >> linePrefix >> kind >> name;
        if (linePrefix != prefix) continue;
        if (kind == "booted-ms") std::istringstream(name) >> printed.guestBootMs;
        if (kind == "trace") {
            TraceEntry entry;
            // The run's mark ("r27709-9f3c01ab") that begins the trace line is passed over.
            std::string mark;
            if ((words >> std::ws).peek() == 'r') words >> mark;
            words >> entry.ms >> entry.kind >> std::ws;
            std::getline(words, entry.body);
            printed.traces[name].push_back(entry);
        }
        if (kind == "result") {
            words.ignore(1);
            std::getline(words, printed.results[name]);
        }
    }
    return printed;
}

// The pseudo-terminal scalepoll-sim serves, from the line it prints first,
// or nothing when it did not come up.
inline std::string SimulatorTerminal(Program& sim, const std::filesystem::path& output) {
    for (int tries = 0; tries < 100 && sim.Started(); ++tries) {
        const std::string printed = ReadWholeFile(output);
        if (printed.find('\n') != std::string::npos) return printed.substr(0, printed.find('\n'));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
}

// The run's one reply is read within one read tick of its arrival, and the
// frame that follows goes out in the same tick. A drain that waited out its
// time limit (4 s) would push every reply and every later frame back by that
// much.
inline void ExpectTheReplyReadWithinOneReadTick(const std::string& name, const std::vector<TraceEntry>& traced) {
    // The line's own traffic; the run's verdicts between it are beside the point.
    std::vector<TraceEntry> entries;
    for (const TraceEntry& entry : traced)
        if (entry.kind == "sent" || entry.kind == "received" || entry.kind == "result") entries.push_back(entry);
    int replies = 0;
    for (std::size_t k = 1; k < entries.size(); ++k) {
        if (entries[k].kind != "received" || entries[k - 1].kind != "sent") continue;
        // The reply's last chunk, then the next request.
        std::size_t last = k;
        while (last + 1 < entries.size() && entries[last + 1].kind == "received") ++last;
        const std::int64_t readMs = entries[last].ms - entries[k - 1].ms;
        std::cout << name << ": reply read " << readMs << " ms after its request\n";
        EXPECT_LE(readMs, kReplyDelayMs + kReplyBytesMs + kReadTickMs);
        ASSERT_LT(last + 1, entries.size());
        EXPECT_EQ(entries[last + 1].kind, "sent");
        EXPECT_LE(entries[last + 1].ms - entries[last].ms, kReadTickMs);
        ++replies;
    }
    EXPECT_EQ(replies, 1);
}
