#include "platform/posix/OpenFailures.h"

#include <grp.h>
#include <pwd.h>
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

std::string UserName() {
    const passwd* user = getpwuid(geteuid());
    return user != nullptr ? user->pw_name : "uid " + std::to_string(geteuid());
}

bool UserInGroup(gid_t group) {
    if (getegid() == group) return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = getgroups(count, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, group) != groups.begin() + got;
}

std::string PermissionHint(const std::string& path) {
    struct stat device {};
    if (stat(path.c_str(), &device) != 0) return {};
    const group* owner = getgrgid(device.st_gid);
    const std::string name = owner != nullptr ? owner->gr_name : "gid " + std::to_string(device.st_gid);
    if (UserInGroup(device.st_gid))
        return "the device's group is " + name + ", and user " + UserName() + " is in it";
    return "the device's group is " + name + ", and user " + UserName() + " is not in it";
}

}  // namespace

OpenFailure DeviceOpenFailure(const std::string& path, int error) {
    OpenFailure failure;
    failure.message = std::strerror(error);
    switch (error) {
        case EACCES:
        case EPERM:
            failure.reason = OpenFailure::Reason::Permission;
            failure.hint = PermissionHint(path);
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

OpenFailure LockFailure(int fd, int error) {
    OpenFailure failure;
    failure.message = std::strerror(error);
    if (error != EWOULDBLOCK) return failure;
    failure.reason = OpenFailure::Reason::Busy;
    struct stat device {};
    if (fstat(fd, &device) != 0) return failure;
    const auto holder = LockHolder(FileText("/proc/locks"), major(device.st_dev), minor(device.st_dev), device.st_ino);
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
