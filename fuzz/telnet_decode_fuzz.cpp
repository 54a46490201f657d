// The Telnet decoder of the rfc2217:// ports on arbitrary bytes from a
// server. However the bytes are split across reads, the data and the answers
// come out the same; answers are only ever three-byte refusals or
// agreements; and data encoded for the line, with line commands between,
// decodes back to exactly that data, in binary mode and outside it (CR NUL),
// and after a purge from its acknowledgement on.
//
// Input: one byte choosing where to split, then the received bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/Require.h"
#include "platform/network/Rfc2217.h"

namespace {

struct Decoded {
    std::string data;
    std::string answers;
};

void DecodeInto(TelnetDecoder& decoder, std::string chunk, Decoded& decoded) {
    auto* bytes = reinterpret_cast<std::uint8_t*>(chunk.data());
    const std::size_t kept = decoder.Decode(bytes, chunk.size(), bytes, decoded.answers);
    Require(kept <= chunk.size(), "data never outgrows what was received");
    decoded.data.append(chunk.data(), kept);
}

Decoded DecodeSplit(const std::string& received, std::size_t cut) {
    TelnetDecoder decoder;
    Decoded decoded;
    DecodeInto(decoder, received.substr(0, cut), decoded);
    DecodeInto(decoder, received.substr(cut), decoded);
    return decoded;
}

bool WellFormedAnswers(const std::string& answers) {
    if (answers.size() % 3 != 0) return false;
    for (std::size_t i = 0; i < answers.size(); i += 3) {
        const auto iac = static_cast<std::uint8_t>(answers[i]);
        const auto verb = static_cast<std::uint8_t>(answers[i + 1]);
        if (iac != telnet::kIac || verb < telnet::kWill || verb > telnet::kDont) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string received(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t cut = received.empty() ? 0 : data[0] % (received.size() + 1);

    const Decoded whole = DecodeSplit(received, 0);
    const Decoded split = DecodeSplit(received, cut);
    Require(whole.data == split.data && whole.answers == split.answers, "a split read decodes the same");
    Require(WellFormedAnswers(whole.answers), "answers are three-byte option commands");

    CommState state;
    state.baudRate = 0xFFFFFFFF;  // every payload byte a doubled 255
    const std::string stream = EncodeData(received.substr(0, cut)) + LineSettingCommands(state) +
                               PurgeCommand(true, true) + EncodeData(received.substr(cut));
    const Decoded roundTrip = DecodeSplit(stream, cut);
    Require(roundTrip.data == received && roundTrip.answers.empty(), "encoded data with commands decodes back");

    const std::string wontBinary("\xFF\xFC\x00", 3);
    const std::string purged = "\xFF\xFA\x2C\x70\x03\xFF\xF0";  // the server's PURGE-DATA acknowledgement
    const std::string textStream = wontBinary + EncodeData(received.substr(0, cut), false) + purged +
                                   EncodeData(received.substr(cut), false);
    TelnetDecoder decoder;
    decoder.DropUntilPurgeAcknowledged();
    Decoded text;
    DecodeInto(decoder, textStream.substr(0, cut), text);
    DecodeInto(decoder, textStream.substr(cut), text);
    Require(text.data == received.substr(cut) && text.answers.empty(),
            "outside binary mode, data after the purge's acknowledgement decodes back");
    return 0;
}
