// Runs a command and writes what it cost to a file, for scripts/bench.sh: the
// wall time from start to exit, the user and system CPU time, and the peak
// resident memory. The command's own input and output pass through.
//
//   run_stats OUTFILE COMMAND [ARGUMENT...]
//   OUTFILE gets one line: WALL_MS USER_MS SYSTEM_MS PEAK_KIB
//
// The kernel counts the memory a process had before it became the command
// into the command's peak, so this program is linked statically and keeps to
// the C library: its own few hundred KiB stay below any command's peak.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <cstdio>

extern char** environ;

namespace {

double Ms(const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; }

double NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: run_stats OUTFILE COMMAND [ARGUMENT...]\n");
        return 2;
    }
    const double start = NowMs();
    pid_t child = 0;
    if (posix_spawnp(&child, argv[2], nullptr, nullptr, argv + 2, environ) != 0) {
        std::perror("run_stats: cannot start the command");
        return 127;
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) return 127;
    const double wall = NowMs() - start;
    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) return 127;
    std::fprintf(out, "%.1f %.3f %.3f %ld\n", wall, Ms(usage.ru_utime), Ms(usage.ru_stime), usage.ru_maxrss);
    std::fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
