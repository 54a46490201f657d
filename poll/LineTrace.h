// LineTrace: a record of each run, for finding out afterwards at a weighing
// site what happened on the line and why.
//
// The trace stands between the run and its serial ports and standard output,
// and watches the poll cycle's decisions (PollObserver), so the run behaves
// exactly as without it and never waits for it. One line per event: the
// run mark (which run wrote the line, as runs may append to one file at the
// same time), a blank, milliseconds since the run started on the event
// loop's clock, right-aligned in 7 columns, a blank, the kind padded to 9
// columns, and the body:
//
//   r27709-9f3c01ab       0 run      2026-12-11T05:57:50.123Z scalepoll 1.0.0 COM1 9600 8 None 1 3
//   r27709-9f3c01ab       0 port     COM1 /dev/ttyUSB0
//   r27709-9f3c01ab       0 open     failed permission -- Permission denied; ...
//   r27709-9f3c01ab    5150 received <2>30...
//   r27709-9f3c01ab    5158 reply    taken station=3 try=1 weight=1250 settled=yes
//   r27709-9f3c01ab   20000 result   0;3,1,0
//
// Bytes and texts from outside (parameters, paths, line bytes) are written in
// the display text form, so a line never holds a control byte. The format is
// read by other programs and described in scalepoll-trace(5): a change to it
// is a change to that page.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/SerialPort.h"
#include "platform/TextOutput.h"
#include "poll/PollObserver.h"

class LineTrace final : public PollObserver {
public:
    LineTrace(EventLoop& loop, TextOutput& file, std::string runMark)
        : loop_(loop), file_(file), runMark_(std::move(runMark)), startMs_(loop.NowMs()) {}

    void Run(std::chrono::system_clock::time_point startedAt, const std::vector<std::string>& parameters);
    void Port(int portNumber, std::string_view standsFor);
    void Opened();
    void OpenFailed(const OpenFailure& failure);
    void Settings(const CommState& asked, const std::optional<CommState>& inForce);
    void Fault(const PortFault& fault);
    void Sent(std::string_view bytes);
    void Received(std::string_view bytes);
    void Result(std::string_view line);

    void TriggerSending(std::int32_t sequenceNumber) override;
    void RequestSending(int station, std::int32_t tryNumber) override;
    void TryTimedOut(int station, std::int32_t tryNumber) override;
    void FrameSearch(std::string_view buffer) override;
    void BufferDropped(std::string_view bytes) override;
    void OtherRunsReply(std::string_view frame, std::int32_t runsSequenceNumber) override;
    void NoStationAddressed(std::string_view frame) override;
    void ReplyRecorded(int station, std::int32_t tryNumber, const ReplyReadings& readings, std::int32_t weight,
                       bool settled, bool checkFailed) override;

private:
    void Write(std::string_view kind, std::string_view body);
    void WriteAt(std::int64_t elapsedMs, std::string_view kind, std::string_view body);
    void Reply(const std::string& verdict);

    EventLoop& loop_;
    TextOutput& file_;
    std::string runMark_;
    std::int64_t startMs_;
    // Where in the reply buffer the search for frames with a wrong checksum
    // goes on, so that each is told once; every verdict empties the buffer.
    std::size_t checksumSearchFrom_ = 0;
    // The bytes waiting in the reply buffer, and how many of them were there
    // before the last read request: a try that runs out with bytes come since
    // its request was met by an answer under way, not by silence.
    std::size_t bufferBytes_ = 0;
    std::size_t bytesBeforeRequest_ = 0;
};

// The run mark: "r", the process id, "-" and eight hex digits that differ from
// run to run (RunNonce), e.g. r27709-9f3c01ab. The process id matches a busy port's "held by
// process N" to the run that held it; the hex digits keep two runs apart
// when the system gives a later process the same id.
std::string RunMark(unsigned long processId, std::uint32_t nonce);

// The system's words as free text on one line: trailing line ends and
// blanks cut, every control byte shown by its code ("<13>"). The console
// shows a port's failures in the same form.
std::string FreeText(std::string_view text);

// The words the trace tells why a port could not be opened, and what fault
// it met, in ("permission", "device-gone"): the console shows the same.
const char* OpenReasonWord(OpenFailure::Reason reason);
const char* FaultWord(PortFault::Reason reason);

// The time as the run line writes it: UTC, ISO 8601 to the millisecond,
// e.g. 2026-12-11T05:57:50.123Z.
std::string UtcText(std::chrono::system_clock::time_point at);

// RunTool with the trace written to `traceFile`, each line begun with
// `runMark`; `startedAt` is the wall clock's time at the start, for the run
// line.
void RunTracedTool(const std::vector<std::string>& parameters, EventLoop& loop, TextOutput& output,
                   SerialPorts& ports, TextOutput& traceFile, const std::string& runMark,
                   std::chrono::system_clock::time_point startedAt);
