// The stations on one line, apart from any input or output: fed the bytes
// received, it keeps the last trigger's sequence number and tells what each
// frame heard causes, with a note for the log and the answer to send.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tools/sim/LineScanner.h"
#include "tools/sim/Station.h"

struct Response {
    std::string note;
    Answer answer;  // no pieces when nothing is sent
};

class Simulation {
public:
    explicit Simulation(std::map<int, StationScript> stations) : stations_(std::move(stations)) {}

    std::vector<Response> Feed(std::string_view bytes);

private:
    Response Respond(int station);

    LineScanner scanner_;
    std::map<int, StationScript> stations_;
    std::map<int, int> requestCounts_;
    int sequence_ = 0;  // until a trigger is heard
};
