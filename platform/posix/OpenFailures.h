// Why a serial device could not be opened, as the system tells it: the
// error's own words (strerror) and, where the cause is common and known, a
// hint pointing at it. For the line trace only; the run never asks.
//
//   permission   the device's group (e.g. dialout) and whether the user is in it
//   busy         the process holding the lock, from /proc/locks and /proc/PID/comm
//   missing      where the adapters present are listed (/dev/serial/by-id/)
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/SerialPort.h"

// open() of `path` failed with `error`.
OpenFailure DeviceOpenFailure(const std::string& path, int error);

// flock() on the open device `fd` failed with `error`.
OpenFailure LockFailure(int fd, int error);

// The process holding a FLOCK lock on the file with this inode on the
// device major:minor, read from the text of /proc/locks, whose lines read
// "1: FLOCK  ADVISORY  WRITE 1234 00:05:3 0 EOF" (the numbers of the device
// in hex, the inode in decimal); lines of waiting locks ("->") are passed over.
std::optional<pid_t> LockHolder(std::string_view procLocks, unsigned major, unsigned minor, unsigned long inode);
