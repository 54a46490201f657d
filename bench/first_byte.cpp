// Measures how long scalepoll takes from being started to the first byte of
// its trigger frame on the line, for scripts/bench.sh. Each run gets a fresh
// pseudo-terminal as COM1 (COM2..COM4 lead nowhere); the run is ended once
// the byte has arrived.
//
//   first_byte RUNS SCALEPOLL
//   prints: MIN_US MEDIAN_US MAX_US
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Microseconds from spawning scalepoll to the first byte on the master side;
// negative when none came within two seconds.
double OneRun(const char* scalepoll) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return -1;
    setenv("SCALEPOLL_COM1", ttyname(slave), 1);
    for (const char* name : {"SCALEPOLL_COM2", "SCALEPOLL_COM3", "SCALEPOLL_COM4"})
        setenv(name, "/nonexistent/scalepoll-port", 1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const char* arguments[] = {scalepoll, "COM1", "9600", "8", "None", "1", "3", nullptr};

    const auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    double us = -1;
    if (posix_spawn(&child, scalepoll, &actions, nullptr, const_cast<char**>(arguments), environ) == 0) {
        pollfd entry{master, POLLIN, 0};
        if (poll(&entry, 1, 2000) == 1 && (entry.revents & POLLIN) != 0)
            us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(slave);
    close(master);
    return us;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: first_byte RUNS SCALEPOLL\n");
        return 2;
    }
    std::vector<double> times;
    for (int run = std::atoi(argv[1]); run > 0; --run) {
        const double us = OneRun(argv[2]);
        if (us < 0) {
            std::fprintf(stderr, "first_byte: no byte on the line\n");
            return 1;
        }
        times.push_back(us);
    }
    if (times.empty()) return 2;
    std::sort(times.begin(), times.end());
    std::printf("%.0f %.0f %.0f\n", times.front(), times[times.size() / 2], times.back());
    return 0;
}
