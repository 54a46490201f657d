// The names of the machine's own serial ports as Windows writes them, for a
// port variable (SCALEPOLL_COMn) that points one of COM1..COM4 at another
// local port, such as a USB adapter Windows numbered COM5 or higher:
//
//   COM7, COM12        the port by its number, 1 to 256
//   \\.\COM12          the same in the device namespace
//
// Letters in either case, as Windows takes them; no blanks, no leading zero.
// Parsing is text only and the same on every platform; opening the port is
// the Win32 serial ports' business.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The port's number; nothing when `text` is not such a name.
std::optional<int> ParseLocalPortName(std::string_view text);

// The name to open port `number` by: "\\.\COMn" for every n, since only the
// device namespace reaches ports above COM9.
std::string LocalPortDevice(int number);
