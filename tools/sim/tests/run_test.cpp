// The simulator binary over its own pseudo-terminal: serving a client that
// opens the line the way scalepoll does, recording the line, and running a
// command with the ports set.
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "poll/Frames.h"
#include "tests/support/Program.h"
#include "tools/sim/RecordFormat.h"
#include "tools/sim/Station.h"
#include "tools/sim/tests/LineClient.h"


namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(10);

std::string Reply(const char* stationText, int sequence) {
    const StationEntry entry = ParseStation(stationText);
    std::string bytes;
    for (const std::string& piece : AnswerFor(entry.script, entry.station, sequence).pieces) bytes += piece;
    return bytes;
}

std::string Filled(const std::string& frame) { return "\xFF\xFF\xFF" + frame + "\xFF\xFF\xFF"; }

struct SimRun : ::testing::Test {
    std::filesystem::path directory;
    pid_t pid = -1;
    int output = -1;  // the simulator's standard output

    SimRun() {
        char pattern[] = "/tmp/scalepoll-sim-test-XXXXXX";
        directory = mkdtemp(pattern);
    }
    ~SimRun() override {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (output >= 0) close(output);
        std::filesystem::remove_all(directory);
    }
    std::string Path(const char* name) const { return (directory / name).string(); }

    void Start(Strings arguments, Strings environment = {}) {
        arguments.insert(arguments.begin(), SCALEPOLL_SIM_BINARY);
        for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, ends[0]);
        ASSERT_EQ(posix_spawn(&pid, arguments[0].c_str(), &actions, nullptr, Pointers(arguments).data(),
                              Pointers(environment).data()),
                  0);
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        output = ends[0];
    }
    // Reads the simulator's standard output until `stop` holds or it closes.
    std::string ReadOutput(bool (*stop)(const std::string&)) const {
        std::string text;
        const auto deadline = Clock::now() + kPatience;
        while (!stop(text) && Clock::now() < deadline) {
            pollfd readable{output, POLLIN, 0};
            poll(&readable, 1, 100);
            char bytes[256];
            const ssize_t count = readable.revents != 0 ? read(output, bytes, sizeof bytes) : -1;
            if (count == 0) break;
            if (count > 0) text.append(bytes, static_cast<std::size_t>(count));
        }
        return text;
    }
    // The wait status, or -1 when the simulator did not end in time.
    int WaitForExit() {
        const auto deadline = Clock::now() + kPatience;
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) != pid) {
            if (Clock::now() > deadline) return -1;
            usleep(10'000);
        }
        pid = -1;
        return status;
    }
};

std::int64_t Since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// True when text is pattern with its "@" (if any) replaced by a pseudo-terminal path.
bool MatchesWithLinePath(const std::string& text, const std::string& pattern) {
    const std::size_t at = pattern.find('@');
    if (at == std::string::npos) return text == pattern;
    const std::string after = pattern.substr(at + 1);
    if (!text.starts_with(pattern.substr(0, at)) || !text.ends_with(after)) return false;
    const std::string path = text.substr(at, text.size() - at - after.size());
    return path.starts_with("/dev/pts/") && path.find('|') == std::string::npos;
}

}  // namespace

TEST_F(SimRun, ServesItsPseudoTerminalUntilTerminated) {
    Start({"--station", "3:weight=1250", "--record", Path("record"), "--log", Path("log")});
    const std::string printed = ReadOutput([](const std::string& text) { return text.ends_with('\n'); });
    ASSERT_TRUE(printed.starts_with("/dev/pts/") && printed.ends_with('\n')) << printed;
    const int fd = OpenLikeTheTool(printed.substr(0, printed.size() - 1));
    ASSERT_GE(fd, 0) << "the simulator must leave the line free for an exclusive open";

    const Clock::time_point asked = Clock::now();
    EXPECT_EQ(AskStation(fd, 3, 2, 3000), Reply("3:weight=1250", 2));
    EXPECT_GE(Since(asked), 137) << "100 ms delay, then 36 bytes at 9600 baud";
    EXPECT_EQ(AskStation(fd, 12, 0x81, 400), std::nullopt);
    close(fd);
    kill(pid, SIGTERM);
    const int status = WaitForExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    const RecordedLine line = ReadRecord(ReadWholeFile(Path("record")));
    EXPECT_EQ(HexBytes(line.received), HexBytes(Filled(TriggerFrame(2)) + Filled(ReadRequest(3)) +
                                                Filled(TriggerFrame(0x81)) + Filled(ReadRequest(12))));
    EXPECT_EQ(line.sent, Reply("3:weight=1250", 2));
    ASSERT_FALSE(line.receivedMs.empty());
    ASSERT_FALSE(line.sentMs.empty());
    EXPECT_GE(line.sentMs.front() - line.receivedMs.front(), 100);
    EXPECT_GE(line.sentMs.back() - line.receivedMs.front(), 136) << "the last byte no sooner than the line allows";

    std::ifstream logFile(Path("log"));
    const std::string log((std::istreambuf_iterator<char>(logFile)), std::istreambuf_iterator<char>());
    for (const char* note : {"trigger, sequence 02", "request to station 3: answering in 100 ms",
                             "request to station 12: not simulated, silent"})
        EXPECT_NE(log.find(note), std::string::npos) << note << " in\n" << log;
}

TEST_F(SimRun, CommandTalksToTheStationsOverTheLine) {
    const char* station = "5:weight=-40,chunks=4,pause=30,noise=5";
    Start({"--port", "2", "--station", station, "--", SIM_PROBE_BINARY, "2", "5", "171"});
    const std::string printed = ReadOutput([](const std::string&) { return false; });
    EXPECT_EQ(printed, HexBytes(Reply("5:weight=-40", 171)));
    const int status = WaitForExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(SimRun, CommandGetsAllFourPortsAndItsOutputAndStatusPassThrough) {
    struct Case {
        const char* script;
        const char* output;  // "@" stands for the line's path
        int exitStatus;
    };
    const Case cases[] = {
        {R"(printf '%s|%s|%s|%s' "$SCALEPOLL_COM1" "$SCALEPOLL_COM2" "$SCALEPOLL_COM3" "$SCALEPOLL_COM4"; exit 7)",
         "/nonexistent/scalepoll-COM1|/nonexistent/scalepoll-COM2|@|/nonexistent/scalepoll-COM4", 7},
        {"printf 'no line end'; kill -TERM $$", "no line end", 128 + SIGTERM},
    };
    for (const Case& c : cases) {
        Start({"--port", "3", "--", "sh", "-c", c.script}, {"SCALEPOLL_COM1=/stale/value"});
        const std::string printed = ReadOutput([](const std::string&) { return false; });
        EXPECT_TRUE(MatchesWithLinePath(printed, c.output)) << printed;
        const int status = WaitForExit();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exitStatus) << c.script << " " << status;
        close(output);
        output = -1;
    }
}
