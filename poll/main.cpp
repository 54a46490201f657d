// scalepoll: reads the weighing stations named on the command line and prints
// one result line. The exit status is 0 whatever happened; the caller reads
// the outcome from the line. When SCALEPOLL_TRACE names a file, the run's
// traffic on the line and what it decided are appended to it (see
// poll/LineTrace.h).
#include <chrono>
#include <cstdlib>

#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/RunIdentity.h"
#include "platform/SerialPort.h"
#include "platform/TextOutput.h"
#include "platform/TimeSource.h"
#include "poll/LineTrace.h"
#include "poll/Startup.h"

int main(int argc, char** argv) {
    const auto startedAt = std::chrono::system_clock::now();
    PrepareProcess();
    const std::vector<std::string> parameters(argv + (argc > 0 ? 1 : 0), argv + argc);
    EventLoop loop(SystemTime());
    const char* tracePath = std::getenv("SCALEPOLL_TRACE");
    const std::string runMark = tracePath != nullptr ? RunMark(ThisProcessId(), RunNonce()) : "";
    // Opened only now that the standard descriptors are sure to be taken.
    const auto traceFile = tracePath != nullptr ? OpenAppendFile(tracePath, runMark) : nullptr;
    if (traceFile) {
        RunTracedTool(parameters, loop, StandardOutput(), SystemSerialPorts(), *traceFile, runMark, startedAt);
    } else {
        RunTool(parameters, loop, StandardOutput(), SystemSerialPorts());
    }
    return 0;
}
