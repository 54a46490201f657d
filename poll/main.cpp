// scalepoll: reads the weighing stations named on the command line and prints
// one result line. The exit status is 0 whatever happened; the caller reads
// the outcome from the line.
#include "platform/EventLoop.h"
#include "platform/SerialPort.h"
#include "platform/TextOutput.h"
#include "platform/TimeSource.h"
#include "poll/Startup.h"

int main(int argc, char** argv) {
    PrepareProcess();
    const std::vector<std::string> parameters(argv + (argc > 0 ? 1 : 0), argv + argc);
    EventLoop loop(SystemTime());
    RunTool(parameters, loop, StandardOutput(), SystemSerialPorts());
    return 0;
}
