// scalepoll-sim: simulated weighing stations on a pseudo-terminal or serial
// device, for trying scalepoll by hand and for end-to-end tests. See --help.
#include <cstdio>
#include <exception>
#include <iostream>

#include "ScalepollVersion.h"
#include "tools/sim/Command.h"
#include "tools/sim/LineEnd.h"
#include "tools/sim/Options.h"
#include "tools/sim/Server.h"
#include "tools/sim/Signals.h"

namespace {

int Simulate(const SimOptions& options) {
    LineEnd line =
        options.device.empty() ? LineEnd::PseudoTerminal() : LineEnd::Device(options.device, options.baud);
    Journal journal(options.recordPath, options.logPath);
    Simulation simulation(options.stations);
    LinePacer pacer(options.baud);
    if (options.faults.noiseStorm) pacer.FillWithNoise();
    Server server(line, CatchSignals(), simulation, pacer, journal, options.faults);
    if (options.command.empty()) {
        std::cout << line.Path() << std::endl;
        return server.Run(0);
    }
    return server.Run(StartCommand(options.command, options.port, line.Path()));
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    try {
        options = ParseOptions(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    } catch (const UsageError& error) {
        std::cerr << "scalepoll-sim: " << error.what() << " (see scalepoll-sim --help)\n";
        return 2;
    }
    if (options.help) {
        std::cout << HelpText();
        return 0;
    }
    if (options.version) {
        std::cout << "scalepoll-sim " << kScalepollVersion << '\n';
        return 0;
    }
    try {
        return Simulate(options);
    } catch (const std::exception& error) {
        std::cerr << "scalepoll-sim: " << error.what() << '\n';
        return 1;
    }
}
