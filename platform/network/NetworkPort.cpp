#include "platform/network/NetworkPort.h"

namespace {

constexpr std::int64_t kConnectTimeoutMs = NetworkPort::kPurgeGuardMs;
// Taking what has arrived off the connection stops after this much, so that
// a server sending without pause cannot hold the thread; dropping goes on
// in the reads after it.
constexpr std::size_t kDropAtOnce = 64 * 1024;

std::int64_t CeilMs(std::int64_t micros) { return (micros + 999) / 1000; }

}  // namespace

std::unique_ptr<SerialPort> OpenNetworkPort(std::string_view text, OpenFailure& failure) {
    const std::optional<NetworkAddress> address = ParseNetworkAddress(text);
    if (!address) {
        failure = {OpenFailure::Reason::Other, "not an address scalepoll can connect to",
                   "rfc2217://HOST:PORT or socket://HOST:PORT, HOST a numeric address or localhost"};
        return nullptr;
    }
    std::unique_ptr<TcpConnection> connection = ConnectTcp(*address, kConnectTimeoutMs, failure);
    if (!connection) return nullptr;
    return std::make_unique<NetworkPort>(std::move(connection), address->protocol, SystemTime());
}

NetworkPort::NetworkPort(std::unique_ptr<TcpConnection> connection, NetworkAddress::Protocol protocol,
                         TimeSource& time)
    : connection_(std::move(connection)), telnet_(protocol == NetworkAddress::Protocol::Rfc2217), time_(time) {
    if (telnet_) Queue(OpeningNegotiation());
}

void NetworkPort::SetState(const CommState& state) {
    line_ = state;
    if (telnet_) Queue(LineSettingCommands(state));
}

void NetworkPort::Purge(bool input, bool output) {
    if (telnet_) Queue(PurgeCommand(input, output));
    if (!input) return;
    if (telnet_) decoder_.DropUntilPurgeAcknowledged();
    DropArrived();
    purgePending_ = true;
    guardEndMs_ = time_.NowMs() + kPurgeGuardMs;  // for when no block follows
}

void NetworkPort::SetDtr(bool raised) {
    if (telnet_) Queue(DtrCommand(raised));
}

bool NetworkPort::Read(void* into, std::size_t capacity, std::size_t& got) {
    got = 0;
    if (guardEndMs_ && time_.NowMs() >= *guardEndMs_) StopDropping();
    auto* bytes = static_cast<std::uint8_t*>(into);
    const std::optional<std::size_t> received = Arrived(bytes, capacity);
    if (!received) return false;
    const std::size_t data = Decoded(bytes, *received);
    // Over rfc2217:// the decoder itself drops until the acknowledgement.
    if (purgePending_ || (!telnet_ && Dropping())) return true;
    got = data;
    return true;
}

// A block is taken whole or not at all: once the bytes before it have gone,
// the whole block is encoded and queued, and what the connection does not
// take at once waits in front of anything sent later. Encoding is never cut
// between the two bytes of a doubled 255, and the count returned is always
// of data bytes.
std::size_t NetworkPort::Write(const void* bytes, std::size_t count) {
    SendUnsent();
    if (gone_ || !unsent_.empty()) return 0;
    PurgePointPassed();
    const std::string_view data(static_cast<const char*>(bytes), count);
    blockLineMs_ = CeilMs(LineTimeMicros(line_, count));
    lineFreeMs_ = time_.NowMs() + blockLineMs_;
    Queue(telnet_ ? EncodeData(data, decoder_.SendingBinary()) : std::string(data));
    return gone_ ? 0 : count;
}

bool NetworkPort::WaitWritable(std::int64_t timeoutMs) {
    if (!gone_ && !connection_->WaitWritable(timeoutMs)) Gone(connection_->Failure());
    SendUnsent();
    return !gone_;
}

// First the connection takes what is unsent; then, over rfc2217://, the
// wait for the block's line time, counted from when the connection took
// its last byte. Over socket:// the server's line speed is not known.
bool NetworkPort::Drain(std::int64_t timeoutMs) {
    const std::int64_t deadline = time_.NowMs() + timeoutMs;
    if (!unsent_.empty()) {
        WaitWritable(timeoutMs);
        if (!unsent_.empty()) return false;
        lineFreeMs_ = time_.NowMs() + blockLineMs_;
    }
    if (!telnet_) return true;
    const std::int64_t until = std::min(lineFreeMs_, deadline);
    while (time_.NowMs() < until) time_.WaitUntil(until, {});
    return lineFreeMs_ <= deadline;
}

void NetworkPort::Queue(const std::string& bytes) {
    unsent_ += bytes;
    SendUnsent();
    if (unsent_.size() > kUnsentLimit) {
        Gone({PortFault::Reason::DeviceGone, "the server stopped reading: " + std::to_string(unsent_.size()) +
                                                 " bytes waiting for it"});
        unsent_.clear();
    }
}

void NetworkPort::SendUnsent() {
    if (gone_ || unsent_.empty()) return;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(unsent_.data());
    const std::optional<std::size_t> sent = connection_->Send(bytes, unsent_.size());
    if (!sent) {
        Gone(connection_->Failure());
        unsent_.clear();
        return;
    }
    unsent_.erase(0, *sent);
}

std::optional<std::size_t> NetworkPort::Arrived(std::uint8_t* into, std::size_t capacity) {
    if (gone_) return std::nullopt;
    const std::optional<std::size_t> received = connection_->Receive(into, capacity);
    if (!received) Gone(connection_->Failure());
    return received;
}

void NetworkPort::Gone(const PortFault& fault) {
    if (!gone_) fault_ = fault;
    gone_ = true;
}

std::size_t NetworkPort::Decoded(std::uint8_t* bytes, std::size_t count) {
    if (!telnet_) return count;
    std::string answers;
    const std::size_t kept = decoder_.Decode(bytes, count, bytes, answers);
    if (!answers.empty()) Queue(answers);
    return kept;
}

void NetworkPort::DropArrived() {
    std::uint8_t buffer[2048];
    for (std::size_t dropped = 0; dropped < kDropAtOnce;) {
        const std::optional<std::size_t> received = Arrived(buffer, sizeof buffer);
        if (!received || *received == 0) return;
        Decoded(buffer, *received);
        dropped += *received;
    }
}

void NetworkPort::PurgePointPassed() {
    if (purgePending_) {
        DropArrived();
        purgePending_ = false;
        guardEndMs_ = time_.NowMs() + kPurgeGuardMs;
    } else {
        StopDropping();  // an answer to this block is kept
    }
}

void NetworkPort::StopDropping() {
    purgePending_ = false;
    guardEndMs_.reset();
    decoder_.StopDropping();
}
