// LineTrace: a record of one run's traffic, for finding out afterwards what
// happened on the line at a weighing site.
//
// The trace stands between the run and its serial ports and standard output,
// so the run knows nothing of it and behaves exactly as without it. It writes
// one line per write the port takes (a whole frame, unless the output queue
// was full), one per chunk a read delivers, and one for the result line:
// milliseconds since the run started on the event loop's clock, what it was,
// and the bytes in the display text form, e.g.
//      5150 received <2>30...
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/SerialPort.h"
#include "platform/TextOutput.h"

class LineTrace {
public:
    LineTrace(EventLoop& loop, TextOutput& file) : loop_(loop), file_(file), startMs_(loop.NowMs()) {}

    void Sent(std::string_view bytes);
    void Received(std::string_view bytes);
    void Result(std::string_view line);

private:
    void Write(std::string_view what, std::string_view text);

    EventLoop& loop_;
    TextOutput& file_;
    std::int64_t startMs_;
};

// RunTool with the trace written to `traceFile`.
void RunTracedTool(const std::vector<std::string>& parameters, EventLoop& loop, TextOutput& output,
                   SerialPorts& ports, TextOutput& traceFile);
