// Writing a whole block to a POSIX file descriptor, for standard output and
// the tool's own files alike.
#pragma once

#include <string_view>

// Writes all of `bytes`, going on after interrupted or partial writes; false,
// with errno set, when a write fails.
bool WriteAll(int fd, std::string_view bytes);
