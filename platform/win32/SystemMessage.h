// The system's own text for a Win32 or Winsock error code (FormatMessage),
// for the line trace: what the user would read in a Windows message box.
#pragma once

#include <windows.h>

#include <string>

// "Access is denied. (error 5)"; the code alone when the system has no text.
std::string SystemMessage(DWORD code);
