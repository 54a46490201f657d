#include "tools/sim/Command.h"

#include <spawn.h>
#include <sys/wait.h>

#include <system_error>

extern char** environ;

namespace {

std::string PortVariable(int port) { return "SCALEPOLL_COM" + std::to_string(port) + "="; }

std::vector<std::string> Environment(int port, const std::string& linePath) {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        bool isPort = false;
        for (int n = 1; n <= 4; ++n) isPort = isPort || variable.starts_with(PortVariable(n));
        if (!isPort) variables.push_back(variable);
    }
    for (int n = 1; n <= 4; ++n)
        variables.push_back(PortVariable(n) + (n == port ? linePath : "/nonexistent/scalepoll-COM" + std::to_string(n)));
    return variables;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

pid_t StartCommand(const std::vector<std::string>& command, int port, const std::string& linePath) {
    std::vector<std::string> arguments = command;
    std::vector<std::string> variables = Environment(port, linePath);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, arguments[0].c_str(), nullptr, nullptr, Pointers(arguments).data(),
                                   Pointers(variables).data());
    if (error != 0) throw std::system_error(error, std::generic_category(), "cannot run " + command[0]);
    return pid;
}

int ExitStatusOf(int waitStatus) {
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return WEXITSTATUS(waitStatus);
}
