// The tool's side of a simulated line, for the simulator's end-to-end tests:
// opens a port the way scalepoll does (non-blocking, flock, TIOCEXCL) and
// asks one station for its reply, with fill bytes around each frame.
#pragma once

#include <optional>
#include <string>

// -1 when any step of the exclusive open fails.
int OpenLikeTheTool(const std::string& path);

// Sends a trigger frame and a read request and waits up to timeoutMs for a
// reply frame with a good checksum; the whole frame when one arrives.
std::optional<std::string> AskStation(int fd, int station, int sequence, int timeoutMs);
