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
// Pure byte code, no sockets: the network port in platform/network/NetworkPort.h
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

// `data` as it travels: every 255 doubled, and outside binary mode (a
// server that refused it) every CR followed by a NUL, as Telnet requires.
std::string EncodeData(std::string_view data, bool binary = true);

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
// option this client does not use with a refusal, once per option: a server
// repeating the request gets no second one, so a flood of requests cannot
// pile up answers. It assumes that OpeningNegotiation() went out first, so
// that the server's agreement to those requests is taken silently instead
// of answered again. While the server refuses binary mode, the CR NUL it
// sends for a CR is read back as the CR alone.
class TelnetDecoder {
public:
    TelnetDecoder();

    // Decodes `count` received bytes into `data` (which may be `received`
    // itself: data never grows) and returns how many data bytes there are.
    // Replies for the server are appended to `answers`.
    std::size_t Decode(const std::uint8_t* received, std::size_t count, std::uint8_t* data, std::string& answers);

    // From now on data bytes are dropped until the server acknowledges a
    // purge (PURGE-DATA), or until StopDropping(): what the server sent
    // before it purged its buffers is never taken as data.
    void DropUntilPurgeAcknowledged() { dropping_ = true; }
    void StopDropping() { dropping_ = false; }
    bool Dropping() const { return dropping_; }
    // Whether data for the server may go as it is: true unless the server
    // refused binary mode for what this client sends.
    bool SendingBinary() const { return ours_[telnet::kBinary] != Agreement::Off; }

private:
    enum class State { Data, Command, Option, Subnegotiation, SubnegotiationCommand };
    // Whether an option is in force on one side: asked for and not yet
    // answered, agreed, not in force, or requested by the server and refused.
    enum class Agreement : std::uint8_t { Off, Asked, On, Refused };

    // False when the byte ended a command; true when it was a data byte.
    bool Command(std::uint8_t byte);
    void Negotiate(std::uint8_t verb, std::uint8_t option, std::string& answers);
    // Whether a data byte is kept: not while dropping, nor the NUL after a
    // CR from a server outside binary mode.
    bool KeepData(std::uint8_t byte);
    void SubnegotiationByte(std::uint8_t byte);
    void SubnegotiationEnded();

    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    bool dropping_ = false;
    bool afterCr_ = false;  // the last data byte was a CR outside binary mode
    // The first two bytes of the subnegotiation under way (option, command).
    std::array<std::uint8_t, 2> subnegotiation_{};
    std::size_t subnegotiationLength_ = 0;
    std::array<Agreement, 256> ours_{};    // options this client does
    std::array<Agreement, 256> theirs_{};  // options the server does
};
