#include "tools/sim/Options.h"

#include <algorithm>
#include <utility>

namespace {

constexpr int kBaudRates[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

int BaudRate(std::string_view text) {
    const auto baud = static_cast<int>(ParseNumber(text, 1, 115200, "baud"));
    if (std::find(std::begin(kBaudRates), std::end(kBaudRates), baud) == std::end(kBaudRates))
        throw UsageError("baud " + std::string(text) + " is not one of 300 600 1200 2400 4800 9600 19200 "
                         "38400 57600 115200");
    return baud;
}

void AddStation(SimOptions& options, std::string_view text) {
    const StationEntry entry = ParseStation(text);
    if (!options.stations.emplace(entry.station, entry.script).second)
        throw UsageError("station " + std::to_string(entry.station) + " is given twice");
}

using Apply = void (*)(SimOptions&, const std::string& value);

const std::pair<std::string_view, Apply> kValueOptions[] = {
    {"--station", [](SimOptions& o, const std::string& v) { AddStation(o, v); }},
    {"--baud", [](SimOptions& o, const std::string& v) { o.baud = BaudRate(v); }},
    {"--port", [](SimOptions& o, const std::string& v) { o.port = static_cast<int>(ParseNumber(v, 1, 4, "port")); }},
    {"--device", [](SimOptions& o, const std::string& v) { o.device = v; }},
    {"--record", [](SimOptions& o, const std::string& v) { o.recordPath = v; }},
    {"--log", [](SimOptions& o, const std::string& v) { o.logPath = v; }},
    {"--hang-up-at",
     [](SimOptions& o, const std::string& v) { o.faults.hangUpAtMs = ParseNumber(v, 0, 3'600'000, "hang-up-at"); }},
    {"--stall-at",
     [](SimOptions& o, const std::string& v) { o.faults.stallAtMs = ParseNumber(v, 0, 3'600'000, "stall-at"); }},
};

Apply ValueOption(std::string_view name) {
    for (const auto& [optionName, apply] : kValueOptions)
        if (optionName == name) return apply;
    throw UsageError("unknown option '" + std::string(name) + "'");
}

}  // namespace

SimOptions ParseOptions(const std::vector<std::string>& arguments) {
    SimOptions options;
    for (std::size_t k = 0; k < arguments.size(); ++k) {
        const std::string& argument = arguments[k];
        if (argument == "--") {
            options.command.assign(arguments.begin() + static_cast<std::ptrdiff_t>(k) + 1, arguments.end());
            if (options.command.empty()) throw UsageError("no command after '--'");
            break;
        }
        if (argument == "--help" || argument == "--noise-storm") {
            (argument == "--help" ? options.help : options.faults.noiseStorm) = true;
            continue;
        }
        if (argument == "--version") {
            options.version = true;
            continue;
        }
        const Apply apply = ValueOption(argument);
        if (k + 1 == arguments.size()) throw UsageError("option " + argument + " needs a value");
        apply(options, arguments[k + 1]);
        ++k;
    }
    if (!options.device.empty() && !options.command.empty())
        throw UsageError("--device serves a real line; it runs no command");
    if (!options.device.empty() && options.faults.stallAtMs)
        throw UsageError("--stall-at fills a pseudo-terminal; it cannot with --device");
    return options;
}

std::string_view HelpText() {
    return R"(Usage: scalepoll-sim [OPTIONS] [-- COMMAND [ARGUMENTS...]]

Simulates up to 14 weighing stations on one serial line, for trying scalepoll
by hand and for tests. It makes a pseudo-terminal (or opens --device), reads
the trigger frames and read requests sent on it and answers each request to a
simulated station as that station's settings say. Other stations stay silent.
Replies go out at the pace of the baud rate, ten bit times a byte.

With a COMMAND, it runs the command with SCALEPOLL_COM1 ... SCALEPOLL_COM4 set:
the --port one to the pseudo-terminal, the other three to paths that do not
exist. The command's standard output passes through untouched, and the
simulator exits with the command's exit status once it ends. Without a
COMMAND it prints the pseudo-terminal's path on one line and serves until
interrupted (SIGINT or SIGTERM).

Options:
  --station N[:SETTING,...]  simulate station N (1-14); repeat for more
  --baud RATE      300 600 1200 2400 4800 9600 19200 38400 57600 115200
                   (default 9600)
  --port N         the SCALEPOLL_COMn that names the line, 1-4 (default 1)
  --device PATH    serve this serial device (raw, 8 data bits, no parity,
                   1 stop bit, at --baud) instead of a pseudo-terminal;
                   runs no COMMAND
  --record FILE    every chunk read from and written to the line, one a line:
                   MS rx|tx HEX...   e.g.  "5005 rx FF FF FF 02 33 30 3F 4D 0D 02 FF FF FF"
                   MS counts milliseconds from the start of serving
  --log FILE       one line per frame heard and what it caused, with MS as
                   above; FILE "-" is standard error
  --hang-up-at MS  close the simulator's end of the line at MS: the device
                   disappears under the command
  --stall-at MS    from MS on, read nothing and fill the line's queue towards
                   the simulator, so the command's writes find no room
                   (pseudo-terminal only)
  --noise-storm    noise bytes at the line's pace whenever no answer is
                   going out
  --help           this text
  --version        the version of scalepoll it comes with

Station settings:
  weight=W         the weight digits as a signed whole number (default 0)
  decimals=D       decimal code 0-3: digits after the decimal comma
                   (weight=1250,decimals=2 reads 12,50)
  division=C       division code 0-8 for 1 2 5 10 20 50 100 200 500 (default 1)
  unstable         all three readings marked not stable
  disagree         the second reading two divisions off the others
  silent           never answers
  wrong-seq        echoes a sequence number other than the trigger's
  bad-checksum     the checksum byte off by one
  wrong-address    the address character 0, which names no station
  noise=N          N noise bytes ahead of the reply
  chunks=N         the reply in N pieces ...
  pause=MS         ... MS milliseconds apart (default 0)
  delay=MS         waits MS milliseconds before answering (default 100)
  answers=K        silent to the first K-1 requests, answers from the K-th on

Examples:
  scalepoll-sim --station 3:weight=1250 --station 12:silent -- \
      scalepoll COM1 9600 8 None 1 3 12
    station 3 answers 1250, station 12 stays silent; after about 20 seconds
    prints 0;3,0,1250;12,1,0

  scalepoll-sim --port 2 --station 5:weight=-40,unstable,delay=300 \
      --station 7:answers=2,chunks=3,pause=20 --record line.txt -- \
      scalepoll COM2 9600 8 None 1 5 7

  scalepoll-sim --station 1:weight=500 --log -
    prints the pseudo-terminal's path (e.g. /dev/pts/4) and serves it
)";
}
