// Files the system writes: the settings dialog's settings file, replaced
// whole at every save, and the line trace, appended to one line at a time.
// The POSIX implementation lives in platform/posix/Files.cpp.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/TextOutput.h"

// Creates `path`, or empties it when it exists, and writes exactly `bytes`.
// Nothing on success, otherwise the system's reason ("Is a directory", ...).
std::optional<std::string> WriteWholeFile(const std::string& path, std::string_view bytes);

// `path` opened for appending (created when missing), each WriteAndFlush one
// write at the end of the file; nullptr when it cannot be opened. The file is
// not inherited by programs this one starts.
std::unique_ptr<TextOutput> OpenAppendFile(const std::string& path);
