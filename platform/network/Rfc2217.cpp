#include "platform/network/Rfc2217.h"

using namespace telnet;

namespace {

// COM-PORT-OPTION commands from client to server.
constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kPurgeData = 12;
// A server's answer to a client's command carries the command plus 100.
constexpr std::uint8_t kServerReply = 100;

constexpr std::uint8_t kCr = 13;

// SET-CONTROL values.
constexpr std::uint8_t kNoFlowControl = 1;
constexpr std::uint8_t kXonXoffFlowControl = 2;
constexpr std::uint8_t kHardwareFlowControl = 3;
constexpr std::uint8_t kDtrOn = 8;
constexpr std::uint8_t kDtrOff = 9;
constexpr std::uint8_t kRtsOff = 12;

// SET-STOPSIZE values by CommState::stopBits (one, one and a half, two).
constexpr std::uint8_t kStopSizes[] = {1, 3, 2};

bool WeOffer(std::uint8_t option) {
    return option == kBinary || option == kSuppressGoAhead || option == kComPortOption;
}
bool WeAskFor(std::uint8_t option) { return option == kBinary || option == kSuppressGoAhead; }

std::string Bytes(std::initializer_list<std::uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string ComPortCommand(std::uint8_t command, std::string_view payload) {
    return Bytes({kIac, kSubnegotiationBegin, kComPortOption, command}) + EncodeData(payload) +
           Bytes({kIac, kSubnegotiationEnd});
}

std::string ComPortCommand(std::uint8_t command, std::uint8_t value) {
    return ComPortCommand(command, Bytes({value}));
}

std::string BigEndian(std::uint32_t value) {
    return Bytes({static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                  static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}

std::uint8_t FlowControl(const CommState& state) {
    if (state.rtsCtsHandshake) return kHardwareFlowControl;
    if (state.xonXoff) return kXonXoffFlowControl;
    return kNoFlowControl;
}

}  // namespace

std::string OpeningNegotiation() {
    return Bytes({kIac, kWill, kComPortOption, kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kWill,
                  kSuppressGoAhead, kIac, kDo, kSuppressGoAhead});
}

std::string EncodeData(std::string_view data, bool binary) {
    std::string encoded;
    encoded.reserve(data.size());
    for (const char byte : data) {
        encoded += byte;
        if (static_cast<std::uint8_t>(byte) == kIac) encoded += byte;
        if (!binary && static_cast<std::uint8_t>(byte) == kCr) encoded += '\0';
    }
    return encoded;
}

std::string LineSettingCommands(const CommState& state) {
    std::string commands = ComPortCommand(kSetBaudRate, BigEndian(state.baudRate)) +
                           ComPortCommand(kSetDataSize, state.byteSize) +
                           ComPortCommand(kSetParity, static_cast<std::uint8_t>(state.parity + 1)) +
                           ComPortCommand(kSetStopSize, kStopSizes[state.stopBits % 3]) +
                           ComPortCommand(kSetControl, FlowControl(state));
    if (!state.rtsCtsHandshake) commands += ComPortCommand(kSetControl, kRtsOff);
    return commands + DtrCommand(state.dtrEnable);
}

std::string DtrCommand(bool raised) { return ComPortCommand(kSetControl, raised ? kDtrOn : kDtrOff); }

std::string PurgeCommand(bool input, bool output) {
    const std::uint8_t buffers = static_cast<std::uint8_t>((input ? 1 : 0) | (output ? 2 : 0));
    return buffers == 0 ? std::string() : ComPortCommand(kPurgeData, buffers);
}

TelnetDecoder::TelnetDecoder() {
    for (int option = 0; option < 256; ++option) {
        const auto byte = static_cast<std::uint8_t>(option);
        ours_[byte] = WeOffer(byte) ? Agreement::Asked : Agreement::Off;
        theirs_[byte] = WeAskFor(byte) ? Agreement::Asked : Agreement::Off;
    }
}

std::size_t TelnetDecoder::Decode(const std::uint8_t* received, std::size_t count, std::uint8_t* data,
                                  std::string& answers) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = received[i];
        switch (state_) {
            case State::Data:
                if (byte == kIac) {
                    state_ = State::Command;
                } else if (KeepData(byte)) {
                    data[kept++] = byte;
                }
                break;
            case State::Command:
                if (Command(byte) && KeepData(byte)) data[kept++] = byte;
                break;
            case State::Option:
                Negotiate(verb_, byte, answers);
                state_ = State::Data;
                break;
            case State::Subnegotiation:
                if (byte == kIac) {
                    state_ = State::SubnegotiationCommand;
                } else {
                    SubnegotiationByte(byte);
                }
                break;
            case State::SubnegotiationCommand:
                if (byte == kIac) {
                    state_ = State::Subnegotiation;  // a doubled 255 in the payload
                    SubnegotiationByte(byte);
                } else if (byte == kSubnegotiationEnd) {
                    state_ = State::Data;
                    SubnegotiationEnded();
                } else {
                    Command(byte);  // an unterminated subnegotiation ends at the next command
                }
                break;
        }
    }
    return kept;
}

bool TelnetDecoder::Command(std::uint8_t byte) {
    state_ = State::Data;
    if (byte == kIac) return true;
    if (byte >= kWill && byte <= kDont) {
        verb_ = byte;
        state_ = State::Option;
    } else if (byte == kSubnegotiationBegin) {
        state_ = State::Subnegotiation;
        subnegotiationLength_ = 0;
    }
    return false;
}

bool TelnetDecoder::KeepData(std::uint8_t byte) {
    const bool crNul = afterCr_ && byte == 0;
    afterCr_ = byte == kCr && theirs_[kBinary] == Agreement::Off;
    return !dropping_ && !crNul;
}

void TelnetDecoder::SubnegotiationByte(std::uint8_t byte) {
    if (subnegotiationLength_ < subnegotiation_.size()) subnegotiation_[subnegotiationLength_] = byte;
    ++subnegotiationLength_;
}

void TelnetDecoder::SubnegotiationEnded() {
    if (subnegotiationLength_ >= 2 && subnegotiation_[0] == kComPortOption &&
        subnegotiation_[1] == kServerReply + kPurgeData)
        dropping_ = false;
}

// Answers only what changes an option's state, so that two sides never
// answer each other's answers.
void TelnetDecoder::Negotiate(std::uint8_t verb, std::uint8_t option, std::string& answers) {
    const bool theirSide = verb == kWill || verb == kWont;
    const bool wanted = theirSide ? WeAskFor(option) : WeOffer(option);
    const bool enable = verb == kWill || verb == kDo;
    Agreement& agreement = theirSide ? theirs_[option] : ours_[option];
    const std::uint8_t yes = theirSide ? kDo : kWill;
    const std::uint8_t no = theirSide ? kDont : kWont;
    if (enable && !wanted) {
        if (agreement != Agreement::Refused) answers += Bytes({kIac, no, option});
        agreement = Agreement::Refused;
    } else if (enable) {
        if (agreement == Agreement::Off) answers += Bytes({kIac, yes, option});
        agreement = Agreement::On;
    } else if (agreement != Agreement::Refused) {
        if (agreement == Agreement::On) answers += Bytes({kIac, no, option});
        agreement = Agreement::Off;
    }
}
