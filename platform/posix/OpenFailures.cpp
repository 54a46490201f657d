#include "platform/posix/OpenFailures.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

std::string FileText(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<gid_t> UserGroups() {
    std::vector<gid_t> groups{getegid()};
    const int count = getgroups(0, nullptr);
    if (count <= 0) return groups;
    std::vector<gid_t> supplementary(static_cast<std::size_t>(count));
    const int got = getgroups(count, supplementary.data());
    if (got > 0) groups.insert(groups.end(), supplementary.begin(), supplementary.begin() + got);
    return groups;
}

std::string DevicePermissionHint(const std::string& path) {
    struct stat device {};
    if (stat(path.c_str(), &device) != 0) return {};
    const DeviceAccess access{device.st_uid, device.st_gid, device.st_mode, geteuid(), UserGroups()};
    return PermissionHint(access, FileText("/etc/passwd"), FileText("/etc/group"));
}

}  // namespace

OpenFailure DeviceOpenFailure(const std::string& path, int error) {
    OpenFailure failure;
    failure.message = std::strerror(error);
    switch (error) {
        case EACCES:
        case EPERM:
            failure.reason = OpenFailure::Reason::Permission;
            failure.hint = DevicePermissionHint(path);
            break;
        case EBUSY:
            failure.reason = OpenFailure::Reason::Busy;
            break;
        // A terminal with no hardware behind it (an 8250 port without a
        // UART) answers EIO.
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case EIO:
            failure.reason = OpenFailure::Reason::Missing;
            failure.hint = "the serial adapters present are listed in /dev/serial/by-id/";
            break;
        default:
            break;
    }
    return failure;
}

OpenFailure LockFailure(dev_t device, ino_t inode, int error) {
    OpenFailure failure;
    failure.message = std::strerror(error);
    if (error != EWOULDBLOCK) return failure;
    failure.reason = OpenFailure::Reason::Busy;
    const auto holder = LockHolder(FileText("/proc/locks"), major(device), minor(device), inode);
    if (!holder) {
        failure.hint = "another program holds the port";
        return failure;
    }
    std::string name = FileText("/proc/" + std::to_string(*holder) + "/comm");
    while (!name.empty() && name.back() == '\n') name.pop_back();
    failure.hint = "held by process " + std::to_string(*holder) + (name.empty() ? "" : " (" + name + ")");
    return failure;
}

std::optional<pid_t> LockHolder(std::string_view procLocks, unsigned major, unsigned minor, unsigned long inode) {
    std::istringstream lines{std::string(procLocks)};
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string id, type, mode, access, pid, file;
        fields >> id >> type;
        if (type != "FLOCK") continue;  // a waiting lock reads "->" here
        fields >> mode >> access >> pid >> file;
        unsigned fileMajor = 0, fileMinor = 0;
        unsigned long fileInode = 0;
        if (std::sscanf(file.c_str(), "%x:%x:%lu", &fileMajor, &fileMinor, &fileInode) != 3) continue;
        if (fileMajor != major || fileMinor != minor || fileInode != inode) continue;
        char* end = nullptr;
        const long number = std::strtol(pid.c_str(), &end, 10);
        if (end != pid.c_str() && *end == '\0' && number > 0) return static_cast<pid_t>(number);
    }
    return std::nullopt;
}

std::string PermissionHint(const DeviceAccess& access, std::string_view passwd, std::string_view groups) {
    const auto userName = [passwd](uid_t id) { return NameOfId(passwd, id).value_or("uid " + std::to_string(id)); };
    const std::string group = NameOfId(groups, access.group).value_or("gid " + std::to_string(access.group));
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(access.mode & 07777));
    const std::string facts = "owner " + userName(access.owner) + ", group " + group + ", mode " + mode;
    const std::string user = "user " + userName(access.user);
    // The owner's own bits decide for the owner; the group's for its members.
    if (access.user == access.owner) return facts + ": " + user + " is its owner";
    const bool inGroup =
        std::find(access.userGroups.begin(), access.userGroups.end(), access.group) != access.userGroups.end();
    if ((access.mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
        return facts + ": " + user + (inGroup ? " is in group " : " is not in group ") + group;
    if ((access.mode & (S_IROTH | S_IWOTH)) == 0) return facts + ": only its owner may open it";
    return facts;
}

std::optional<std::string> NameOfId(std::string_view accounts, unsigned long id) {
    std::istringstream lines{std::string(accounts)};
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name, password, number;
        if (!std::getline(fields, name, ':') || !std::getline(fields, password, ':') ||
            !std::getline(fields, number, ':'))
            continue;
        if (!name.empty() && number == std::to_string(id)) return name;
    }
    return std::nullopt;
}
