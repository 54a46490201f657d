// scalepoll-console.exe: the serial settings dialog and test console as a
// Windows window, for technicians setting up and checking the line to the
// weighing stations. See --help.
#include <windows.h>

#include <commctrl.h>

#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "ScalepollVersion.h"
#include "platform/EventLoop.h"
#include "platform/SerialPort.h"
#include "platform/TimeSource.h"
#include "platform/win32/WriteAll.h"
#include "serial/StationConsole.h"
#include "tools/console/window/SettingsWindow.h"

namespace {

constexpr std::size_t kSettingCount = 5;

constexpr std::string_view kHelp = R"(Usage: scalepoll-console [PORT SPEED DATABITS PARITY STOPBITS]
       scalepoll-console --help | --version

The serial settings dialog of scalepoll in a window. It opens the port with
the five settings given (as scalepoll takes them, e.g. COM1 9600 8 None 1), or
with the dialog's own starting texts when none are given, which match nothing
and so leave scalepoll's defaults: COM2 9600 8 None 1.

In the window:
  Port                      the port list; COM3 at start, whatever was given
  Speed, Data bits,         a click (or Enter) opens the field's pick list; a
  Parity, Stop bits         click on an item (or Enter) picks it, Esc closes
                            the list. Picking changes only the dialog's texts.
  OK                        writes SARJA1.INI in the current directory, opens
                            the port with the settings and closes the dialog
                            ("Open again" opens it again)
  Cancel, Esc               closes the dialog without saving
  Test text, Laheta         sends the test text (Enter in the text too): after
                            '&' text as it is, after '#' decimal numbers (or
                            $hex) as one byte each, e.g. &at#13#10 or
                            #2&10?M#13#4; Lahto shows what went out
  Station, Ask, Trigger     Ask (or Enter in the station field) sends the
                            read request of station 1-14, Trigger a trigger
                            frame with the next sequence number, each with
                            fill bytes and DTR low as a run sends them
  Received, Nollaa          the bytes received, live: 33-126 as themselves,
                            others as <code>; below them each reply read as
                            a run reads it, with its verdict (taken, modem
                            error, not taken and why); Nollaa clears both
  Line check                Poll runs scalepoll's own weighing over the
                            ticked stations, once or, with Repeat ticked,
                            until Stop (or Esc), and counts each station's
                            answers, silences, frames not taken, modem
                            errors and answer times, with each result line
Tab and Shift-Tab move between the controls, Alt with an underlined letter
goes to its control. Closing the window ends the program.

Environment: SCALEPOLL_COM1 ... SCALEPOLL_COM4 may name another port for
COM1-COM4: a local one (COM7, COM12 or \\.\COM12, 1-256), so that a USB
adapter numbered COM5 or higher is used, or a serial device server
(rfc2217://HOST:PORT or socket://HOST:PORT). Unset or empty, COMn is the
machine's own COMn.
)";

// Writes a text for the caller: on the given standard handle when the
// program has one (started from a script or with its output redirected),
// otherwise, as a window program started from a shortcut has none, in a
// message box.
int Tell(DWORD standardHandle, std::string_view text, int status) {
    const HANDLE handle = GetStdHandle(standardHandle);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN) {
        WriteAll(handle, text);
    } else {
        const std::string shown(text);
        MessageBoxA(nullptr, shown.c_str(), "scalepoll-console", MB_OK | (status == 0 ? MB_ICONINFORMATION : MB_ICONERROR));
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (arguments.size() == 1 && arguments[0] == "--help") return Tell(STD_OUTPUT_HANDLE, kHelp, 0);
    if (arguments.size() == 1 && arguments[0] == "--version")
        return Tell(STD_OUTPUT_HANDLE, "scalepoll-console " + std::string(kScalepollVersion) + "\n", 0);
    if (!arguments.empty() && arguments.size() != kSettingCount)
        return Tell(STD_ERROR_HANDLE,
                    "scalepoll-console: give all five settings or none (see scalepoll-console --help)\n", 2);

    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    EventLoop loop(SystemTime());
    StationConsole stations(loop, SystemSerialPorts());
    if (!arguments.empty()) stations.Sarja1.TakeSettings(arguments);
    stations.OpenPort();
    stations.Sarja1.Visible = true;
    try {
        SettingsWindow window(loop, stations);
        window.Run();
    } catch (const std::exception& error) {
        return Tell(STD_ERROR_HANDLE, std::string("scalepoll-console: ") + error.what() + "\n", 1);
    }
    return 0;
}
