#include "tools/sim/Server.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <limits>

#include "tools/sim/Command.h"

namespace {

constexpr std::int64_t kHangUpRestUs = 10'000;

}  // namespace

int Server::Run(pid_t command) {
    command_ = command;
    while (true) {
        PutDueFaults();
        const bool lineRests = NowUs() < lineRestsUntilUs_ || stalled_;
        pollfd watched[2] = {{lineRests ? -1 : line_.Fd(), POLLIN, 0}, {signalFd_, POLLIN, 0}};
        poll(watched, 2, PollTimeoutMs());
        if (watched[0].revents != 0) ReadLine();
        if (watched[1].revents != 0) {
            if (const std::optional<int> status = TakeSignals()) return *status;
        }
        WriteDue();
    }
}

std::optional<int> Server::TakeSignals() {
    char signals[64];
    const ssize_t count = read(signalFd_, signals, sizeof signals);
    for (ssize_t k = 0; k < count; ++k) {
        const int signal = signals[k];
        if (signal == SIGCHLD) continue;
        if (command_ == 0) return 0;  // SIGINT or SIGTERM ends serving
        kill(command_, signal);       // serving ends with the command
    }
    int waitStatus = 0;
    if (command_ == 0 || waitpid(command_, &waitStatus, WNOHANG) != command_) return std::nullopt;
    // The command's last bytes belong in the record.
    while (ReadLine()) {
    }
    return ExitStatusOf(waitStatus);
}

bool Server::ReadLine() {
    if (stalled_ || line_.Fd() < 0) return false;
    char bytes[4096];
    const ssize_t count = read(line_.Fd(), bytes, sizeof bytes);
    if (count < 0 && errno == EAGAIN) return false;
    if (count <= 0) {
        lineRestsUntilUs_ = NowUs() + kHangUpRestUs;
        return false;
    }
    const std::string_view chunk(bytes, static_cast<std::size_t>(count));
    const std::int64_t nowUs = NowUs();
    journal_.Record(nowUs / 1000, "rx", chunk);
    for (const Response& response : simulation_.Feed(chunk)) {
        journal_.Note(nowUs / 1000, response.note);
        pacer_.Add(nowUs, response.answer);
    }
    return true;
}

void Server::WriteDue() {
    if (line_.Fd() < 0) return;
    const std::string due = pacer_.TakeDue(NowUs());
    if (due.empty()) return;
    const ssize_t written = write(line_.Fd(), due.data(), due.size());
    if (written > 0) journal_.Record(NowMs(), "tx", std::string_view(due).substr(0, static_cast<std::size_t>(written)));
}

int Server::PollTimeoutMs() const {
    const std::int64_t nowUs = NowUs();
    // No std::optional for the earliest time here: GCC 12 at -Os reports a
    // false -Wmaybe-uninitialized for one built from a conditional.
    constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
    std::int64_t wakeUs = line_.Fd() < 0 ? kNever : pacer_.NextDueUs().value_or(kNever);
    if (nowUs < lineRestsUntilUs_) wakeUs = std::min(wakeUs, lineRestsUntilUs_);
    if (const auto faultUs = NextFaultUs()) wakeUs = std::min(wakeUs, *faultUs);
    if (wakeUs == kNever) return -1;
    return static_cast<int>(std::max<std::int64_t>(0, (wakeUs - nowUs + 999) / 1000));
}

void Server::PutDueFaults() {
    const std::int64_t nowMs = NowMs();
    if (faults_.stallAtMs && nowMs >= *faults_.stallAtMs) {
        faults_.stallAtMs.reset();
        stalled_ = true;
        line_.FillInbound();
        journal_.Note(nowMs, "fault: the line stops taking bytes");
    }
    if (faults_.hangUpAtMs && nowMs >= *faults_.hangUpAtMs) {
        faults_.hangUpAtMs.reset();
        line_.HangUp();
        journal_.Note(nowMs, "fault: the simulator hangs up");
    }
}

std::optional<std::int64_t> Server::NextFaultUs() const {
    std::optional<std::int64_t> nextMs;
    for (const auto& atMs : {faults_.stallAtMs, faults_.hangUpAtMs})
        if (atMs) nextMs = std::min(nextMs.value_or(*atMs), *atMs);
    if (!nextMs) return std::nullopt;
    return *nextMs * 1000;
}

std::int64_t Server::NowUs() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count();
}
