// Serial device servers end to end: the real scalepoll with SCALEPOLL_COM1 at
// a local TCP port. A station the test plays over socket://, connections
// that are refused, never answered or dropped, addresses that cannot be
// opened, servers that behave as some real ones do (a reply held from before
// the connection, binary mode refused, DTR applied as it arrives), and
// ser2net in front of scalepoll-sim's pseudo-terminal over rfc2217://: the
// result lines, the exact bytes on the line and the line settings ser2net
// applied (ctest -L device-server).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <functional>
#include <numeric>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/network/Rfc2217.h"
#include "poll/Frames.h"
#include "tests/support/Program.h"
#include "tests/support/ReplyBuilder.h"
#include "tests/support/TemporaryDirectory.h"
#include "tests/support/TraceFile.h"
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

// IAC SB COM-PORT-OPTION <command> <value> IAC SE
std::string ComPort(std::uint8_t command, std::uint8_t value) {
    return std::string{'\xFF', '\xFA', 44, static_cast<char>(command), static_cast<char>(value), '\xFF', '\xF0'};
}

// How a played device server behaves towards the one connection it takes.
struct ServerBehaviour {
    bool telnet = false;          // rfc2217://: data Telnet-encoded
    bool heldReply = false;       // sends station 3's reply at once, held from before the connection
    bool acknowledgesPurge = false;
    bool refusesBinary = false;   // WONT and DONT BINARY, then CR as CR NUL both ways
    bool answers = false;         // station 3 answers its read request
    bool synch = false;           // a Telnet Synch (IAC, DM as urgent data) before the answer
};

// Plays a device server on `listener` for one connection: returns every
// chunk heard, each with the time it arrived.
std::vector<std::pair<std::int64_t, std::string>> PlayServer(LocalSocket& listener, const ServerBehaviour& b) {
    const int connection = listener.Accept(SteadyMs() + 3000);
    const auto sendAll = [&](const std::string& bytes) { send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL); };
    const auto encoded = [&](const std::string& data) { return b.telnet ? EncodeData(data, !b.refusesBinary) : data; };
    if (b.refusesBinary) sendAll(std::string("\xFF\xFC\x00\xFF\xFE\x00", 6));
    if (b.heldReply) sendAll(ReplyBuilder().Build());
    const std::string purge = ComPort(12, 3);
    const std::string request = encoded(Filled(ReadRequest(3)));
    std::vector<std::pair<std::int64_t, std::string>> chunks;
    std::size_t seen = 0;
    bool purgeAnswered = false;
    bool requestAnswered = false;
    Listen(connection, SteadyMs() + 25000, [&](const std::string& heard) {
        chunks.emplace_back(SteadyMs(), heard.substr(seen));
        seen = heard.size();
        if (b.acknowledgesPurge && !purgeAnswered && heard.find(purge) != std::string::npos) {
            sendAll(ComPort(112, 3));
            purgeAnswered = true;
        }
        if (b.answers && !requestAnswered && heard.find(request) != std::string::npos) {
            if (b.synch) send(connection, "\xFF\xF2", 2, MSG_NOSIGNAL | MSG_OOB);
            sendAll(encoded(ReplyBuilder().Build()));
            requestAnswered = true;
        }
        return true;
    });
    close(connection);
    return chunks;
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

    std::unique_ptr<Program> StartTool(const std::string& port, const std::string& outputName, Strings parameters,
                                       Strings environment = {}) {
        parameters.insert(parameters.begin(), SCALEPOLL_BINARY);
        Strings ports = PortsAt(port);
        environment.insert(environment.end(), ports.begin(), ports.end());
        auto program = std::make_unique<Program>(parameters, environment, Path(outputName));
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

// Each run leaves station 3 silent and ends at its usual time with its line,
// and its trace says why; all run side by side.
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

    const std::string refused = "failed refused -- Connection refused; no device server listens at this address";
    const std::string notAnAddress = "failed other -- not an address scalepoll can connect to; rfc2217://HOST:PORT or "
                                     "socket://HOST:PORT, HOST a numeric address or localhost";
    struct Case {
        const char* name;
        std::string address;
        std::int64_t extraMs;  // the connect's bound, when the server never answers
        std::string open;      // the trace's open line
        std::string fault;     // how the trace's fault line starts, if there is one
    };
    const Case cases[] = {
        {"refused", refusing.At("rfc2217"), 0, refused, ""},
        {"refused, socket", refusing.At("socket"), 0, refused, ""},
        {"unanswered", full.At("rfc2217"), kConnectBoundMs,
         "failed no-answer -- no answer within 1000 ms; the device server did not answer: is it on and reachable?", ""},
        {"dropped after the trigger", dropping.At("socket"), 0, "ok", "closed-by-server -- "},
        {"port 0", "rfc2217://127.0.0.1:0", 0, notAnAddress, ""},
        {"no port", "socket://127.0.0.1", 0, notAnAddress, ""},
        {"port over 65535", "rfc2217://127.0.0.1:65536", 0, notAnAddress, ""},
        {"unknown scheme", "telnet://127.0.0.1:" + std::to_string(refusing.Port()), 0, notAnAddress, ""},
        {"host name", "rfc2217://scale-gateway:4001", 0, notAnAddress, ""},
        {"not a number", "rfc2217://127.0.0.256:4001", 0, "failed other -- the host is not a numeric address", ""},
    };
    std::vector<std::unique_ptr<Program>> tools;
    for (const Case& c : cases)
        tools.push_back(StartTool(c.address, c.name, {"COM1", "9600", "8", "None", "1", "3"},
                                  {"SCALEPOLL_TRACE=" + Path(std::string(c.name) + ".trace").string()}));
    for (std::size_t i = 0; i < tools.size(); ++i) {
        const Case& c = cases[i];
        const Finished run = tools[i]->Wait();
        EXPECT_EQ(run.output, "0;3,1,0") << c.name;
        EXPECT_EQ(run.status, 0) << c.name;
        EXPECT_GE(run.wallMs, kOneSilentStationMs + c.extraMs - kEarlyMs) << c.name;
        EXPECT_LE(run.wallMs, kOneSilentStationMs + c.extraMs + kLateMs) << c.name;
        const std::filesystem::path trace = Path(std::string(c.name) + ".trace");
        EXPECT_EQ(TraceLines(trace, "open"), Strings{c.open}) << c.name;
        const Strings faults = TraceLines(trace, "fault");
        EXPECT_EQ(faults.size(), c.fault.empty() ? 0u : 1u) << c.name;
        if (!faults.empty()) {
            EXPECT_TRUE(faults[0].starts_with(c.fault)) << c.name << ": " << faults[0];
        }
    }
    dropper.join();
    close(filler);
}

// Servers as real ones can be. A reply held from before the connection is
// never taken as station 3's answer, whatever the server does about the
// purge, while its answer to the read request still counts; a server that
// refuses binary mode is understood, and so is a Telnet Synch.
TEST_F(DeviceServer, ServersThatHoldRepliesOrRefuseBinaryMode) {
    struct Case {
        const char* name;
        ServerBehaviour behaviour;
        const char* line;
        std::int64_t durationMs;
    };
    const Case cases[] = {
        {"socket, held reply, silent", {false, true, false, false, false}, "0;3,1,0", kOneSilentStationMs},
        {"socket, held reply, answers", {false, true, false, false, true}, "0;3,0,1250", 5000},
        {"rfc2217, held reply, no acknowledgement, silent", {true, true, false, false, false}, "0;3,1,0",
         kOneSilentStationMs},
        {"rfc2217, held reply, acknowledged, silent", {true, true, true, false, false}, "0;3,1,0",
         kOneSilentStationMs},
        {"rfc2217, held reply, acknowledged, answers", {true, true, true, false, true}, "0;3,0,1250", 5000},
        {"rfc2217, binary refused, answers", {true, false, false, true, true}, "0;3,0,1250", 5000},
        {"rfc2217, Synch before the answer", {true, false, false, false, true, true}, "0;3,0,1250", 5000},
    };
    std::vector<std::unique_ptr<LocalSocket>> listeners;
    std::vector<std::thread> servers;
    std::vector<std::unique_ptr<Program>> tools;
    for (const Case& c : cases) {
        listeners.push_back(std::make_unique<LocalSocket>(4));
        LocalSocket& listener = *listeners.back();
        servers.emplace_back([&listener, &c] { PlayServer(listener, c.behaviour); });
        tools.push_back(StartTool(listener.At(c.behaviour.telnet ? "rfc2217" : "socket"), c.name,
                                  {"COM1", "9600", "8", "None", "1", "3"}));
    }
    // A run's time is taken when it is waited for: the short runs first.
    std::vector<std::size_t> order(tools.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return cases[a].durationMs < cases[b].durationMs; });
    for (const std::size_t i : order) {
        const Finished run = tools[i]->Wait();
        EXPECT_EQ(run.output, cases[i].line) << cases[i].name;
        EXPECT_GE(run.wallMs, cases[i].durationMs - kEarlyMs) << cases[i].name;
        EXPECT_LE(run.wallMs, cases[i].durationMs + kLateMs) << cases[i].name;
    }
    for (std::thread& server : servers) server.join();
}

// A server that applies commands as they arrive: DTR comes back up no
// earlier than each frame's line time after its last byte arrived (at 300
// baud, 8N1: 500 ms for the trigger's 15 bytes, 434 ms for a request's 13).
TEST_F(DeviceServer, DtrComesBackAfterTheFramesLineTime) {
    LocalSocket listener(4);
    ServerBehaviour behaviour;
    behaviour.telnet = true;
    behaviour.answers = true;
    std::vector<std::pair<std::int64_t, std::string>> chunks;
    std::thread server([&] { chunks = PlayServer(listener, behaviour); });
    const Finished run = StartTool(listener.At("rfc2217"), "output", {"COM1", "300", "8", "None", "1", "3"})->Wait();
    server.join();
    EXPECT_EQ(run.output, "0;3,0,1250");
    const std::string dtrOff = ComPort(5, 9);
    const std::string dtrOn = ComPort(5, 8);
    // Each frame: when its last byte arrived, and when the DTR-on after it did.
    std::vector<std::int64_t> gaps;
    std::int64_t lastFrameByteMs = -1;
    bool inFrame = false;
    for (const auto& [atMs, chunk] : chunks) {
        std::size_t from = 0;
        if (const std::size_t off = chunk.find(dtrOff); off != std::string::npos) {
            inFrame = true;
            from = off + dtrOff.size();
        }
        const std::size_t on = chunk.find(dtrOn, from);
        if (inFrame && (on == std::string::npos ? chunk.size() : on) > from) lastFrameByteMs = atMs;
        if (inFrame && on != std::string::npos) {
            gaps.push_back(atMs - lastFrameByteMs);
            inFrame = false;
        }
    }
    ASSERT_EQ(gaps.size(), 2u);
    // The test's own thread may note a frame's bytes late on a busy machine.
    EXPECT_GE(gaps[0], 500 - kEarlyMs) << "trigger";
    EXPECT_GE(gaps[1], 434 - kEarlyMs) << "read request";
    for (const std::int64_t gap : gaps) EXPECT_LE(gap, 434 + kLateMs);
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
