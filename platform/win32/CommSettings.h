// The driver's line settings and time limits in the Win32 communications
// API's own structures, ready for SetCommState and SetCommTimeouts.
#pragma once

#include <windows.h>

#include "platform/SerialPort.h"

// A binary line with the given framing, DTR and flow control; every option
// the tool does not use (DSR, error and null characters, abort on error) off.
DCB ToDcb(const CommState& state);

// The framing a DCB holds (GetCommState): speed, data bits, parity, stop bits.
CommState FromDcb(const DCB& dcb);

COMMTIMEOUTS ToCommTimeouts(const CommTimeouts& timeouts);
