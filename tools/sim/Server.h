// Serves the line: reads what arrives, lets the simulation answer, puts the
// answers on the line at its pace, and records both directions. It waits in
// poll for the line, a signal or the next byte due, never spinning.
//
// With a command running, it serves until the command ends and then returns
// the command's exit status; SIGINT and SIGTERM are passed on to the command.
// Without one, SIGINT or SIGTERM end serving with status 0.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "tools/sim/Journal.h"
#include "tools/sim/LineEnd.h"
#include "tools/sim/LineFaults.h"
#include "tools/sim/LinePacer.h"
#include "tools/sim/Simulation.h"

class Server {
public:
    Server(LineEnd& line, int signalFd, Simulation& simulation, LinePacer& pacer, Journal& journal,
           const LineFaults& faults)
        : line_(line), signalFd_(signalFd), simulation_(simulation), pacer_(pacer), journal_(journal),
          faults_(faults) {}

    // command: the running command's process, or 0 for none.
    int Run(pid_t command);

private:
    std::optional<int> TakeSignals();  // the exit status once serving ends
    bool ReadLine();  // false when nothing was read
    void WriteDue();
    int PollTimeoutMs() const;
    void PutDueFaults();
    std::optional<std::int64_t> NextFaultUs() const;
    std::int64_t NowUs() const;
    std::int64_t NowMs() const { return NowUs() / 1000; }

    LineEnd& line_;
    int signalFd_;
    Simulation& simulation_;
    LinePacer& pacer_;
    Journal& journal_;
    LineFaults faults_;  // those still to come
    bool stalled_ = false;
    pid_t command_ = 0;
    std::int64_t lineRestsUntilUs_ = 0;  // after a hang-up, the line is left alone until then
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};
