// Serial device servers end to end: the real scalepoll with SCALEPOLL_COM1 at
// a local TCP port. A station the test plays over socket://, connections
// that are refused, never answered or dropped, addresses that cannot be
// opened, and ser2net in front of scalepoll-sim's pseudo-terminal over
// rfc2217://: the result lines, the exact bytes on the line and the line
// settings ser2net applied (ctest -L device-server).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

#include "poll/Frames.h"
#include "tests/support/Program.h"
#include "tests/support/ReplyBuilder.h"
#include "tests/support/TemporaryDirectory.h"
#include "tools/sim/RecordFormat.h"

namespace {

// A silent station: the first request 5000 ms after the trigger, asked
// three times 5000 ms apart.
constexpr std::int64_t kOneSilentStationMs = 20000;
constexpr std::int64_t kConnectBoundMs = 1000;
// The protocol's times are exact; the machine running the test may be busy.
constexpr std::int64_t kEarlyMs = 100;
constexpr std::int64_t kLateMs = 1500;

std::string Filled(const std::string& frame) { return "\xFF\xFF\xFF" + frame + "\xFF\xFF\xFF"; }

// A TCP socket bound to a free port of the loopback address (127.0.0.1, or
// ::1 for AF_INET6); listening when asked to. One that does not listen
// refuses connections, and keeps its port from being handed to anyone else
// while it lives.
class LocalSocket {
public:
    explicit LocalSocket(std::optional<int> backlog, int family = AF_INET) : family_(family) {
        fd_ = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage address = Loopback(family, 0);
        socklen_t length = Length(family);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
        if (backlog) listen(fd_, *backlog);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in&>(address).sin_port
                                        : reinterpret_cast<sockaddr_in6&>(address).sin6_port);
    }
    ~LocalSocket() { close(fd_); }
    LocalSocket(const LocalSocket&) = delete;
    LocalSocket& operator=(const LocalSocket&) = delete;

    std::uint16_t Port() const { return port_; }
    // The address the tool is given for this socket.
    std::string At(const char* scheme) const {
        return std::string(scheme) + (family_ == AF_INET ? "://127.0.0.1:" : "://[::1]:") + std::to_string(port_);
    }
    // A connection of the test's own to this socket.
    int Connect() const { return ConnectTo(family_, port_); }
    // A connection to a port of the loopback address; -1 when it fails.
    static int ConnectTo(int family, std::uint16_t port) {
        const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_storage address = Loopback(family, port);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), Length(family)) == 0) return fd;
        close(fd);
        return -1;
    }

    // The next connection, or -1 when none comes by the deadline.
    int Accept(std::int64_t deadlineMs) {
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(std::max<std::int64_t>(0, deadlineMs - SteadyMs()))) <= 0) return -1;
        return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    static sockaddr_storage Loopback(int family, std::uint16_t port) {
        sockaddr_storage address{};
        if (family == AF_INET) {
            auto& ipv4 = reinterpret_cast<sockaddr_in&>(address);
            ipv4.sin_family = AF_INET;
            ipv4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ipv4.sin_port = htons(port);
        } else {
            auto& ipv6 = reinterpret_cast<sockaddr_in6&>(address);
            ipv6.sin6_family = AF_INET6;
            ipv6.sin6_addr = in6addr_loopback;
            ipv6.sin6_port = htons(port);
        }
        return address;
    }
    static socklen_t Length(int family) { return family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6); }

    int family_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// Reads from `fd` until the peer closes or the deadline passes; `onBytes`
// sees everything heard so far after each read and returns false to stop.
std::string Listen(int fd, std::int64_t deadlineMs, const std::function<bool(const std::string&)>& onBytes) {
    std::string heard;
    for (;;) {
        const std::int64_t left = deadlineMs - SteadyMs();
        pollfd ready{fd, POLLIN, 0};
        if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0) break;
        char buffer[256];
        const ssize_t count = recv(fd, buffer, sizeof buffer, 0);
        if (count <= 0) break;
        heard.append(buffer, static_cast<std::size_t>(count));
        if (!onBytes(heard)) break;
    }
    return heard;
}

// scalepoll-sim serving its pseudo-terminal, recording the line, and ser2net
// in front of it on a free port of 127.0.0.1, both stopped when it goes.
class Ser2netLine {
public:
    Ser2netLine(const std::filesystem::path& directory, Strings stations) : record_(directory / "record") {
        Strings sim{SCALEPOLL_SIM_BINARY, "--record", record_.string()};
        sim.insert(sim.end(), stations.begin(), stations.end());
        sim_ = std::make_unique<Program>(sim, Strings{}, directory / "pty");
        for (const std::int64_t deadline = SteadyMs() + 3000; pty_.empty() && SteadyMs() < deadline;) {
            std::istringstream(ReadWholeFile(directory / "pty")) >> pty_;
            if (pty_.empty()) poll(nullptr, 0, 20);
        }
        // A free port, let go for ser2net to take.
        port_ = LocalSocket(std::nullopt).Port();
        const std::filesystem::path config = directory / "ser2net.yaml";
        std::ofstream(config) << "connection: &c1\n"
                                 "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port_ << "\n"
                                 "  connector: serialdev," << pty_ << ",9600n81,local\n";
        // -n -d: stay in the foreground; -u: no UUCP lock files.
        ser2net_ = std::make_unique<Program>(Strings{SCALEPOLL_SER2NET, "-n", "-d", "-u", "-P",
                                                     (directory / "ser2net.pid").string(), "-c", config.string()},
                                             Strings{}, directory / "ser2net.out");
        listening_ = WaitUntilListening();
    }

    bool Ready() const { return !pty_.empty() && listening_; }
    const std::string& Pty() const { return pty_; }
    std::string Address() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    std::string Received() const { return ReadRecord(ReadWholeFile(record_)).received; }

private:
    bool WaitUntilListening() const {
        for (const std::int64_t deadline = SteadyMs() + 5000; SteadyMs() < deadline; poll(nullptr, 0, 20)) {
            const int probe = LocalSocket::ConnectTo(AF_INET, port_);
            if (probe >= 0) {
                close(probe);
                return true;
            }
        }
        return false;
    }

    std::filesystem::path record_;
    std::unique_ptr<Program> sim_;
    std::unique_ptr<Program> ser2net_;
    std::string pty_;
    std::uint16_t port_ = 0;
    bool listening_ = false;
};

class DeviceServer : public ::testing::Test {
protected:
    std::filesystem::path Path(const std::string& name) const { return directory_.Path() / name; }

    std::unique_ptr<Program> StartTool(const std::string& port, const std::string& outputName, Strings parameters) {
        parameters.insert(parameters.begin(), SCALEPOLL_BINARY);
        auto program = std::make_unique<Program>(parameters, PortsAt(port), Path(outputName));
        EXPECT_TRUE(program->Started());
        return program;
    }

private:
    TemporaryDirectory directory_;
};

}  // namespace

// The station answers the first read request; the bytes on the connection
// are the frames exactly, with nothing of Telnet in them. Over IPv4 and IPv6.
TEST_F(DeviceServer, SocketStationAnswers) {
    for (const int family : {AF_INET, AF_INET6}) {
        LocalSocket listener(4, family);
        const std::string expected = Filled(TriggerFrame(2)) + Filled(ReadRequest(3));
        const std::string reply = ReplyBuilder().Build();
        std::string heard;
        std::thread station([&] {
            const int connection = listener.Accept(SteadyMs() + 3000);
            heard = Listen(connection, SteadyMs() + 10000, [&](const std::string& sofar) {
                if (sofar == expected) send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
                return true;
            });
            close(connection);
        });
        const Finished run =
            StartTool(listener.At("socket"), "output", {"COM1", "9600", "8", "None", "1", "3"})->Wait();
        station.join();
        EXPECT_EQ(run.output, "0;3,0,1250") << listener.At("socket");
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(heard, expected);
        EXPECT_GE(run.wallMs, 5000 - kEarlyMs);
        EXPECT_LE(run.wallMs, 5000 + kLateMs);
    }
}

// Each run leaves station 3 silent and ends at its usual time with its line;
// all run side by side.
TEST_F(DeviceServer, ConnectionsThatFailAndAddressesThatCannotBeOpened) {
    LocalSocket refusing(std::nullopt);
    // A listener whose one-place queue a connection of the test's own fills:
    // further connects get no answer at all.
    LocalSocket full(0);
    const int filler = full.Connect();
    ASSERT_GE(filler, 0);
    // A server that takes the connection and closes it once the trigger frame is in.
    LocalSocket dropping(4);
    std::thread dropper([&] {
        const int connection = dropping.Accept(SteadyMs() + 3000);
        const std::string trigger = Filled(TriggerFrame(2));
        Listen(connection, SteadyMs() + 3000, [&](const std::string& sofar) { return sofar.size() < trigger.size(); });
        close(connection);
    });

    struct Case {
        const char* name;
        std::string address;
        std::int64_t extraMs;  // the connect's bound, when the server never answers
    };
    const Case cases[] = {
        {"refused", refusing.At("rfc2217"), 0},
        {"refused, socket", refusing.At("socket"), 0},
        {"unanswered", full.At("rfc2217"), kConnectBoundMs},
        {"dropped after the trigger", dropping.At("socket"), 0},
        {"port 0", "rfc2217://127.0.0.1:0", 0},
        {"no port", "socket://127.0.0.1", 0},
        {"port over 65535", "rfc2217://127.0.0.1:65536", 0},
        {"unknown scheme", "telnet://127.0.0.1:" + std::to_string(refusing.Port()), 0},
        {"host name", "rfc2217://scale-gateway:4001", 0},
        {"not a number", "rfc2217://127.0.0.256:4001", 0},
    };
    std::vector<std::unique_ptr<Program>> tools;
    for (const Case& c : cases)
        tools.push_back(StartTool(c.address, c.name, {"COM1", "9600", "8", "None", "1", "3"}));
    for (std::size_t i = 0; i < tools.size(); ++i) {
        const Finished run = tools[i]->Wait();
        EXPECT_EQ(run.output, "0;3,1,0") << cases[i].name;
        EXPECT_EQ(run.status, 0) << cases[i].name;
        EXPECT_GE(run.wallMs, kOneSilentStationMs + cases[i].extraMs - kEarlyMs) << cases[i].name;
        EXPECT_LE(run.wallMs, kOneSilentStationMs + cases[i].extraMs + kLateMs) << cases[i].name;
    }
    dropper.join();
    close(filler);
}

// Two stations through ser2net: the line carries the frames exactly (every
// fill byte 255 arrives as one byte), and the replies come back whole.
TEST_F(DeviceServer, Ser2netStationsOverRfc2217) {
    Ser2netLine line(Path(""), {"--station", "3:weight=1250", "--station", "5:weight=-40,chunks=3,pause=20"});
    ASSERT_TRUE(line.Ready()) << SCALEPOLL_SER2NET " did not start: " << ReadWholeFile(Path("ser2net.out"));
    const Finished run = StartTool(line.Address(), "output", {"COM1", "9600", "8", "None", "1", "5", "3"})->Wait();
    EXPECT_EQ(run.output, "0;3,0,1250;5,0,-40");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(line.Received(), Filled(TriggerFrame(2)) + Filled(ReadRequest(3)) + Filled(ReadRequest(5)));
    EXPECT_LE(run.wallMs, 5000 + kLateMs);
}

// ser2net starts the line at 9600n81; the tool asks for 4800 7O2, and the
// pseudo-terminal shows what ser2net made of it while the run goes on (a
// pseudo-terminal keeps 8 data bits, and of the parity only whether it is odd).
TEST_F(DeviceServer, Ser2netAppliesTheLineSettings) {
    Ser2netLine line(Path(""), {});
    ASSERT_TRUE(line.Ready()) << SCALEPOLL_SER2NET " did not start: " << ReadWholeFile(Path("ser2net.out"));
    auto tool = StartTool(line.Address(), "output", {"COM1", "4800", "7", "Odd", "2", "none"});
    termios settings{};
    for (const std::int64_t deadline = SteadyMs() + 3000; SteadyMs() < deadline; poll(nullptr, 0, 50)) {
        const int terminal = open(line.Pty().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        tcgetattr(terminal, &settings);
        close(terminal);
        if (cfgetospeed(&settings) == B4800) break;
    }
    EXPECT_EQ(cfgetospeed(&settings), B4800);
    EXPECT_EQ(cfgetispeed(&settings), B4800);
    EXPECT_NE(settings.c_cflag & PARODD, 0u) << "odd parity";
    EXPECT_NE(settings.c_cflag & CSTOPB, 0u) << "two stop bits";
    EXPECT_EQ(settings.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(tool->Wait().output, "0;");
    EXPECT_EQ(line.Received(), Filled(TriggerFrame(2)));
}
