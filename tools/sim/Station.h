// A simulated weighing station: its script, read from a command-line text such
// as "3:weight=1250,delay=200", and the answer the script gives to a read
// request, as pieces of bytes with the times to wait before and between them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A command line the simulator cannot follow; the text says why.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct StationScript {
    std::int32_t weight = 0;   // the weight digits as a signed whole number
    int decimals = 0;          // decimal code 0-3
    int division = 1;          // division code 0-8
    bool unstable = false;
    bool silent = false;
    bool disagree = false;     // the second reading two divisions off
    bool wrongSequence = false;
    bool badChecksum = false;
    bool wrongAddress = false;  // the address character "0", which names no station
    int chunks = 1;            // the reply in this many pieces ...
    std::int64_t pauseMs = 0;  // ... this far apart
    int noise = 0;             // noise bytes ahead of the reply
    std::int64_t delayMs = 100;
    int answersFrom = 1;       // silent until this request
};

struct StationEntry {
    int station = 0;
    StationScript script;
};

// "N" or "N:setting,setting,...": see the simulator's help for the settings.
// Throws UsageError.
StationEntry ParseStation(std::string_view text);

struct Answer {
    std::int64_t delayMs = 0;
    std::vector<std::string> pieces;  // sent in order, pauseMs apart
    std::int64_t pauseMs = 0;
};

// What the script sends to a read request, the trigger's sequence number given.
Answer AnswerFor(const StationScript& script, int station, int sequence);

// A whole number within [low, high]; `what` names it in the error.
std::int64_t ParseNumber(std::string_view text, std::int64_t low, std::int64_t high, std::string_view what);
