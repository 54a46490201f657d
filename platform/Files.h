// Files the system writes: the settings dialog's settings file, replaced
// whole at every save, and the line trace, appended to one line at a time.
// The implementations live in platform/posix/Files.cpp and
// platform/win32/Files.cpp; the name of a file being saved is shared.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/TextOutput.h"

// Replaces `path` with a file of exactly `bytes`, whole or not at all: the
// bytes go to a new file beside it (SavingName), reach the disk, and only
// then is the new file renamed over `path`. A failing write or a full disk
// leaves the earlier file as it was and removes the new one; a link under
// the name `path` is replaced, never followed. Nothing on success, otherwise
// the system's reason ("Is a directory", ...).
std::optional<std::string> WriteWholeFile(const std::string& path, std::string_view bytes);

// A name for the new file of a save of `path`, in the same folder so that
// the rename stays on one disk: `path` + ".saving-" + eight random hex
// digits. Each call gives another name; the file is created exclusively, so
// a name that is taken is simply passed over.
std::string SavingName(const std::string& path);
// How many taken names a save passes over before it gives up.
constexpr int kSavingNameAttempts = 16;

// `path` opened for appending (created when missing), each WriteAndFlush one
// write at the end of the file; nullptr when it cannot be opened. The file is
// not inherited by programs this one starts. A line the file writes of its
// own (on Linux, the count of lines it had to drop) begins with `runMark`
// and a blank, as the trace's own lines do.
std::unique_ptr<TextOutput> OpenAppendFile(const std::string& path, const std::string& runMark);
