// The Telnet side of a serial device server (RFC 854, 856, 2217): the bytes
// a client sends to set the server's serial line, and the reading of what
// the server sends back.
//
// Data bytes travel with every 255 (IAC) doubled, in both directions. Line
// settings, DTR and RTS, and purges are COM-PORT-OPTION subnegotiations in
// the same stream, so they take effect in order with the data around them.
// The client never waits for an acknowledgement: some servers never send
// one (a device without modem lines does not acknowledge SET-CONTROL).
//
// Pure byte code, no sockets: the network port in platform/NetworkPort.h
// sends and receives what this unit builds and reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/SerialPort.h"

namespace telnet {

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSubnegotiationBegin = 250;
constexpr std::uint8_t kSubnegotiationEnd = 240;

constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kSuppressGoAhead = 3;
constexpr std::uint8_t kComPortOption = 44;

}  // namespace telnet

// What a client sends first: it will use the COM-PORT-OPTION, and asks for
// binary transmission and no go-ahead signals both ways (an 8-bit clean,
// full-duplex stream).
std::string OpeningNegotiation();

// `data` as it travels: every 255 doubled.
std::string EncodeData(std::string_view data);

// The commands that set the server's line as `state` says: speed, data bits,
// parity, stop bits, flow control, then RTS (held off without hardware
// handshake, which otherwise moves it) and DTR.
std::string LineSettingCommands(const CommState& state);

std::string DtrCommand(bool raised);

// Empty when neither buffer is to be purged. The server's receive buffer
// holds what came from the line (the port's input), its transmit buffer what
// goes to it (the port's output).
std::string PurgeCommand(bool input, bool output);

// Reads what a server sends: keeps the data bytes and drops every Telnet
// command and subnegotiation (notifications, acknowledgements), whichever
// way they are split across reads. It answers a server's request for an
// option this client does not use with a refusal, and assumes that
// OpeningNegotiation() went out first, so that the server's agreement to
// those requests is taken silently instead of answered again.
class TelnetDecoder {
public:
    TelnetDecoder();

    // Decodes `count` received bytes into `data` (which may be `received`
    // itself: data never grows) and returns how many data bytes there are.
    // Replies for the server are appended to `answers`.
    std::size_t Decode(const std::uint8_t* received, std::size_t count, std::uint8_t* data, std::string& answers);

private:
    enum class State { Data, Command, Option, Subnegotiation, SubnegotiationCommand };
    // Whether an option is in force on one side: asked for and not yet
    // answered, agreed, or not in force.
    enum class Agreement : std::uint8_t { Off, Asked, On };

    // False when the byte ended a command; true when it was a data byte.
    bool Command(std::uint8_t byte);
    void Negotiate(std::uint8_t verb, std::uint8_t option, std::string& answers);

    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    std::array<Agreement, 256> ours_{};    // options this client does
    std::array<Agreement, 256> theirs_{};  // options the server does
};
