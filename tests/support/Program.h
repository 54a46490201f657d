// Running the real binaries from tests: a program started with its own
// environment additions, its standard output kept in a file, waited for with
// its exit status, wall time and CPU time. And a pseudo-terminal a test holds
// both ends of, to play the stations itself.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

using Strings = std::vector<std::string>;

inline std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Milliseconds on the monotonic clock, for timing what crosses a line.
inline std::int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Every serial port a run may open, pointed at the given path or nowhere,
// so that no test ever reaches the machine's own serial devices.
inline Strings PortsAt(const std::string& com1) {
    return {"SCALEPOLL_COM1=" + com1, "SCALEPOLL_COM2=/nonexistent/scalepoll-COM2",
            "SCALEPOLL_COM3=/nonexistent/scalepoll-COM3", "SCALEPOLL_COM4=/nonexistent/scalepoll-COM4"};
}

// The argv/envp form of a list of texts, for posix_spawn.
inline std::vector<char*> Pointers(Strings& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

struct Finished {
    std::string output;  // standard output, byte for byte
    int status = -1;     // exit status, or 128 + the signal that ended it
    std::int64_t wallMs = 0;
    double cpuMs = 0;
};

class Program {
public:
    // Starts the program; `environment` entries ("NAME=value") come before the
    // inherited ones, so they win.
    Program(Strings arguments, Strings environment, std::filesystem::path outputFile)
        : outputFile_(std::move(outputFile)), startMs_(SteadyMs()) {
        for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&pid_, arguments[0].c_str(), &actions, nullptr, Pointers(arguments).data(),
                        Pointers(environment).data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool Started() const { return pid_ > 0; }
    std::int64_t StartMs() const { return startMs_; }

    Finished Wait() {
        Finished finished;
        if (pid_ <= 0) return finished;
        int waitStatus = 0;
        rusage usage{};
        wait4(pid_, &waitStatus, 0, &usage);
        pid_ = -1;
        finished.wallMs = SteadyMs() - startMs_;
        finished.cpuMs = Ms(usage.ru_utime) + Ms(usage.ru_stime);
        finished.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
        finished.output = ReadWholeFile(outputFile_);
        return finished;
    }

private:
    static double Ms(const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    }

    std::filesystem::path outputFile_;
    std::int64_t startMs_;
    pid_t pid_ = -1;
};

inline Finished RunProgram(Strings arguments, Strings environment, std::filesystem::path outputFile) {
    return Program(std::move(arguments), std::move(environment), std::move(outputFile)).Wait();
}

// A pseudo-terminal whose both ends the test holds: the tool opens the
// terminal end by its path, the test plays the line on the other end.
class PseudoTerminal {
public:
    PseudoTerminal() {
        char name[128] = {};
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&line_, &terminal_, name, &raw, nullptr) == 0) path_ = name;
        fcntl(line_, F_SETFL, O_NONBLOCK);
    }
    ~PseudoTerminal() {
        if (line_ >= 0) close(line_);
        if (terminal_ >= 0) close(terminal_);
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& Path() const { return path_; }
    int TerminalFd() const { return terminal_; }
    termios TerminalSettings() const {
        termios settings{};
        tcgetattr(terminal_, &settings);
        return settings;
    }

    // Reads what the tool sends until `wanted` bytes have come or the
    // deadline passes; returns the bytes and the time the last one came.
    std::string Read(std::size_t wanted, std::int64_t deadlineMs, std::int64_t* lastAtMs = nullptr) {
        std::string got;
        while (got.size() < wanted) {
            const std::int64_t left = deadlineMs - SteadyMs();
            if (left <= 0) break;
            pollfd ready{line_, POLLIN, 0};
            if (poll(&ready, 1, static_cast<int>(left)) <= 0) continue;
            char buffer[256];
            const ssize_t n = read(line_, buffer, std::min(sizeof buffer, wanted - got.size()));
            if (n <= 0) continue;
            got.append(buffer, static_cast<std::size_t>(n));
            if (lastAtMs != nullptr) *lastAtMs = SteadyMs();
        }
        return got;
    }
    void Write(const std::string& bytes) {
        if (write(line_, bytes.data(), bytes.size()) < 0) return;
    }

private:
    int line_ = -1;
    int terminal_ = -1;
    std::string path_;
};
