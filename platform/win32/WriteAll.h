// Writing a whole block to a Windows file handle, for standard output and
// the tool's own files alike.
#pragma once

#include <windows.h>

#include <string_view>

// Writes all of `bytes`, going on after partial writes; false, with the
// error in GetLastError(), when a write fails.
bool WriteAll(HANDLE file, std::string_view bytes);
