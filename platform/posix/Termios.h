// Line settings and device paths of the POSIX serial ports, kept apart from
// the device calls so that both can be checked without a device.
//
// How it works: a port's line setting is one termios struct. SetState reads
// the struct the port has now, rewrites it here as a raw line (no byte is
// translated, stripped, echoed or taken as a signal or as line editing, so
// every value 0..255 passes both ways unchanged) with the wanted framing,
// speed and flow control, and writes it back at once. Reads never wait in the
// kernel (VMIN 0, VTIME 0): each read takes what has arrived, and the driver
// reads again at its next tick. Modem status lines are ignored (CLOCAL), and
// closing the port leaves DTR as it is (no HUPCL).
#pragma once

#include <termios.h>

#include <optional>
#include <string>

#include "platform/SerialPort.h"

// `current` rewritten for `state`. A speed the platform has no constant for
// leaves current's speed in force, as a refused setting would.
termios LineSettings(const termios& current, const CommState& state);

// The line setting `settings` holds, as the driver's CommState: speed, data
// bits, parity and stop bits (0 for one, 2 for two); a speed without a
// number of its own here reads as 0.
CommState SettingsInForce(const termios& settings);

// The device of port 1 to 4: the path in SCALEPOLL_COMn when that is set and
// not empty, otherwise /dev/ttyS0../dev/ttyS3. Nothing for other numbers.
std::optional<std::string> PortPath(int portNumber);
