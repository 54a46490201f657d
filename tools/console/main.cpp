// scalepoll-console: the serial settings dialog on a terminal, for
// technicians setting up and checking the line to the weighing stations.
// See --help.
#include <unistd.h>

#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "ScalepollVersion.h"
#include "platform/EventLoop.h"
#include "platform/SerialPort.h"
#include "platform/TextOutput.h"
#include "platform/TimeSource.h"
#include "serial/StationConsole.h"
#include "tools/console/Console.h"
#include "tools/console/Screen.h"

namespace {

constexpr std::int64_t kKeyPollMs = 25;
constexpr std::size_t kSettingCount = 5;

constexpr std::string_view kHelp = R"(Usage: scalepoll-console [PORT SPEED DATABITS PARITY STOPBITS]
       scalepoll-console --help | --version

The serial settings dialog of scalepoll on a terminal. It opens the port with
the five settings given (as scalepoll takes them, e.g. COM1 9600 8 None 1), or
with the dialog's own starting texts when none are given, which match nothing
and so leave scalepoll's defaults: COM2 9600 8 None 1.

In the dialog:
  Port, Speed, Data bits,   Enter opens the field's pick list; Up/Down marks
  Parity, Stop bits         an item, Enter picks it, Esc closes the list.
                            Picking changes only the dialog's texts.
  OK                        writes SARJA1.INI in the current directory, opens
                            the port with the settings and closes the dialog
                            (Enter opens it again)
  Cancel, Esc               closes the dialog without saving
  Test text, Laheta         Enter sends the test text: after '&' text as it
                            is, after '#' decimal numbers (or $hex) as one
                            byte each, e.g. &at#13#10 or #2&10?M#13#4;
                            Lahto shows what went out
  Station, Ask, Trigger     Ask (or Enter in the station field) sends the
                            read request of station 1-14, Trigger a trigger
                            frame with the next sequence number, each with
                            fill bytes and DTR low as a run sends them
  Received, Nollaa          the bytes received, live: 33-126 as themselves,
                            others as <code>; below them each reply read as a
                            run reads it: station, sequence number, the three
                            readings and the verdict (taken, modem error, not
                            taken and why); Nollaa clears both

The line check (F2): tick stations (Left/Right, Space), Repeat or not, Poll
runs scalepoll's own weighing over them, once or until Stop (or Esc), and
counts per station: answers at the first and a later try, silent cycles,
frames not taken (checksum, sequence), modem errors, answer times and the
last weight, with each cycle's result line.

Keys: Tab or Down moves to the next control, Shift-Tab or Up back; F2 moves
between the pages; q or F10 quits (in the test text only F10, Ctrl-C too).

Environment: SCALEPOLL_COM1 ... SCALEPOLL_COM4 name the devices of COM1-COM4
(default /dev/ttyS0 ... /dev/ttyS3). With scalepoll-sim on a pseudo-terminal:
  scalepoll-sim --station 1:weight=1250      (prints e.g. /dev/pts/5)
  SCALEPOLL_COM1=/dev/pts/5 scalepoll-console COM1 9600 8 None 1
)";

// The console on the event loop: a keyboard timer handles the keys that have
// arrived, waking only once the terminal has input, and the screen is drawn
// again after every tick and whenever the station console changes.
class ConsoleProgram {
public:
    ConsoleProgram(EventLoop& loop, StationConsole& stations, Screen& screen)
        : loop_(loop), stations_(stations), screen_(screen), console_(stations), keyboard_(STDIN_FILENO),
          keys_(loop, kKeyPollMs, [this] { PollKeys(); }) {
        stations_.OnChange = [this] { screen_.Draw(stations_, console_); };
        keys_.WaitFor(&keyboard_);
        keys_.Enable();
        screen_.Draw(stations_, console_);
    }

private:
    void PollKeys() {
        for (const ConsoleKey& key : screen_.ReadKeys()) console_.Press(key);
        if (console_.Quitting()) {
            loop_.Quit();
            return;
        }
        screen_.Draw(stations_, console_);
    }

    EventLoop& loop_;
    StationConsole& stations_;
    Screen& screen_;
    DialogConsole console_;
    DescriptorWaitable keyboard_;
    IntervalTimer keys_;
};

}  // namespace

int main(int argc, char** argv) {
    PrepareProcess();
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (arguments.size() == 1 && arguments[0] == "--help") {
        std::cout << kHelp;
        return 0;
    }
    if (arguments.size() == 1 && arguments[0] == "--version") {
        std::cout << "scalepoll-console " << kScalepollVersion << '\n';
        return 0;
    }
    if (!arguments.empty() && arguments.size() != kSettingCount) {
        std::cerr << "scalepoll-console: give all five settings or none (see scalepoll-console --help)\n";
        return 2;
    }
    const auto screen = Screen::Open();
    if (!screen) {
        std::cerr << "scalepoll-console: needs a terminal on standard input and output\n";
        return 1;
    }
    EventLoop loop(SystemTime());
    StationConsole stations(loop, SystemSerialPorts());
    if (!arguments.empty()) stations.Sarja1.TakeSettings(arguments);
    stations.OpenPort();
    stations.Sarja1.Visible = true;
    ConsoleProgram program(loop, stations, *screen);
    loop.Run();
    return 0;
}
