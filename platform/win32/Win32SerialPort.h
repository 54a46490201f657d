// A serial port opened through the Win32 communications API (overlapped),
// as SystemSerialPorts() opens the machine's ports; tests open one on a model
// of the serial driver.
#pragma once

#include <windows.h>

#include <memory>

#include "platform/SerialPort.h"
#include "platform/win32/CommApi.h"

// Takes over `handle`, an overlapped handle to a port, and makes every call
// on it through `api`, which must outlive the port.
std::unique_ptr<SerialPort> MakeWin32SerialPort(HANDLE handle, CommApi& api);
