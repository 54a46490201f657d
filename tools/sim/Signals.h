// Turns SIGINT, SIGTERM and SIGCHLD into bytes on a pipe (one byte, the
// signal's number, per delivery), so the serving loop can wait for them
// together with the line.
#pragma once

// Installs the handlers and returns the pipe's non-blocking reading end.
// Throws std::system_error.
int CatchSignals();
