// Why a serial device could not be opened, as the system tells it: the
// error's own words (strerror) and, where the cause is common and known, a
// hint pointing at it. For the line trace only; the run never asks. Names of
// users and groups come from /etc/passwd and /etc/group themselves, never
// from a name service that could keep a traced run waiting.
//
//   permission   the device's owner, group and mode, and what would let the
//                user in: a group that may open it, or that only its owner may
//   busy         the process holding the lock, from /proc/locks and /proc/PID/comm
//   missing      where the adapters present are listed (/dev/serial/by-id/)
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SerialPort.h"

// open() of `path` failed with `error`.
OpenFailure DeviceOpenFailure(const std::string& path, int error);

// flock() on the device with this file identity (st_dev, st_ino) failed
// with `error`.
OpenFailure LockFailure(dev_t device, ino_t inode, int error);

// The process holding a FLOCK lock on the file with this inode on the
// device major:minor, read from the text of /proc/locks, whose lines read
// "1: FLOCK  ADVISORY  WRITE 1234 00:05:3 0 EOF" (the numbers of the device
// in hex, the inode in decimal); lines of waiting locks ("->") are passed over.
std::optional<pid_t> LockHolder(std::string_view procLocks, unsigned major, unsigned minor, unsigned long inode);

// A device's owner, group and mode, and the user who was refused it.
struct DeviceAccess {
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0;
    uid_t user = 0;                 // the effective user
    std::vector<gid_t> userGroups;  // the effective group and the supplementary ones
};

// The hint of a refused open: "owner root, group dialout, mode 0660: user
// nobody is not in group dialout", or ": only its owner may open it" where
// its group may not read and write it either; names from the texts of
// /etc/passwd and /etc/group, ids where they have none.
std::string PermissionHint(const DeviceAccess& access, std::string_view passwd, std::string_view groups);

// The name of the user or group with this id in the text of /etc/passwd or
// /etc/group ("name:x:id:..."); nothing when no line has it.
std::optional<std::string> NameOfId(std::string_view accounts, unsigned long id);
