#include "platform/NetworkPort.h"

namespace {

constexpr std::int64_t kConnectTimeoutMs = 1000;

}  // namespace

std::unique_ptr<SerialPort> OpenNetworkPort(std::string_view text) {
    const std::optional<NetworkAddress> address = ParseNetworkAddress(text);
    if (!address) return nullptr;
    std::unique_ptr<TcpConnection> connection = ConnectTcp(*address, kConnectTimeoutMs);
    if (!connection) return nullptr;
    return std::make_unique<NetworkPort>(std::move(connection), address->protocol);
}

NetworkPort::NetworkPort(std::unique_ptr<TcpConnection> connection, NetworkAddress::Protocol protocol)
    : connection_(std::move(connection)), telnet_(protocol == NetworkAddress::Protocol::Rfc2217) {
    if (telnet_) Queue(OpeningNegotiation());
}

void NetworkPort::SetState(const CommState& state) {
    if (telnet_) Queue(LineSettingCommands(state));
}

void NetworkPort::Purge(bool input, bool output) {
    if (telnet_) Queue(PurgeCommand(input, output));
}

void NetworkPort::SetDtr(bool raised) {
    if (telnet_) Queue(DtrCommand(raised));
}

bool NetworkPort::Read(void* into, std::size_t capacity, std::size_t& got) {
    got = 0;
    if (gone_) return false;
    auto* bytes = static_cast<std::uint8_t*>(into);
    const std::optional<std::size_t> received = connection_->Receive(bytes, capacity);
    if (!received) {
        gone_ = true;
        return false;
    }
    if (!telnet_) {
        got = *received;
        return true;
    }
    std::string answers;
    got = decoder_.Decode(bytes, *received, bytes, answers);
    if (!answers.empty()) Queue(answers);
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
    const std::string_view data(static_cast<const char*>(bytes), count);
    Queue(telnet_ ? EncodeData(data) : std::string(data));
    return gone_ ? 0 : count;
}

bool NetworkPort::WaitWritable(std::int64_t timeoutMs) {
    if (!gone_ && !connection_->WaitWritable(timeoutMs)) gone_ = true;
    SendUnsent();
    return !gone_;
}

// Nothing waits on the line itself: a command queued after the bytes (DTR)
// follows them in the same stream, so the server keeps the order. What is
// left to wait for is the connection taking the bytes still unsent.
bool NetworkPort::Drain(std::int64_t timeoutMs) {
    if (!unsent_.empty()) WaitWritable(timeoutMs);
    return unsent_.empty();
}

void NetworkPort::Queue(const std::string& bytes) {
    unsent_ += bytes;
    SendUnsent();
}

void NetworkPort::SendUnsent() {
    if (gone_ || unsent_.empty()) return;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(unsent_.data());
    const std::optional<std::size_t> sent = connection_->Send(bytes, unsent_.size());
    if (!sent) {
        gone_ = true;
        unsent_.clear();
        return;
    }
    unsent_.erase(0, *sent);
}
