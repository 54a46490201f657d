// The serial form's test send on arbitrary test texts: the bytes put on the
// line, the echo in Lahto and the message for a decimal piece that is no
// number agree with a plain reading of the text, which cuts it at the
// markers first and puts the text before the first marker in front of the
// first piece (unless that marker ends the text).
//
// Input: the test text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/Require.h"
#include "serial/Sarja1_u.h"
#include "tests/support/FakeSerialPorts.h"
#include "text/WholeNumber.h"

namespace {

struct Piece {
    char marker;
    std::string text;
};

struct Expected {
    std::string bytes;
    std::string echo;
    std::optional<std::string> message;
};

std::vector<Piece> Pieces(std::string_view text) {
    const std::size_t first = text.find_first_of("#&");
    // A first marker that ends the text leaves the text before it unsent.
    if (first == std::string_view::npos || first + 1 == text.size()) return {};
    std::vector<Piece> pieces;
    std::string leading(text.substr(0, first));
    for (std::size_t at = first; at < text.size();) {
        const std::size_t next = std::min(text.find_first_of("#&", at + 1), text.size());
        pieces.push_back({text[at], leading + std::string(text.substr(at + 1, next - at - 1))});
        leading.clear();
        at = next;
    }
    return pieces;
}

Expected Reference(std::string_view text) {
    Expected expected;
    for (const Piece& piece : Pieces(text)) {
        if (piece.text.empty()) continue;
        if (piece.marker == '&') {
            expected.bytes += piece.text;
            expected.echo += piece.text;
            continue;
        }
        const auto value = ParseWholeNumber(piece.text);
        if (!value) return {{}, {}, "'" + piece.text + "' is not a valid number"};
        expected.bytes += static_cast<char>(static_cast<std::uint32_t>(*value) & 0xFFu);
        expected.echo += "<" + piece.text + ">";
    }
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    VirtualTime time;
    EventLoop loop(time);
    FakeSerialPorts line(time);
    TSarja1 sarja1(loop, line);
    std::vector<std::string> messages;
    sarja1.OnMessage = [&messages](const std::string& message) { messages.push_back(message); };
    sarja1.PorttiNo = "COM1";
    sarja1.AsetaComm();
    const std::size_t callsBefore = line.calls.size();
    sarja1.Lahto = "before";
    sarja1.LahData = text;
    sarja1.LahetaClick();

    const Expected expected = Reference(text);
    Require(line.written == expected.bytes, "the bytes on the line");
    Require(line.calls.size() - callsBefore == (expected.bytes.empty() ? 0u : 1u), "the bytes go in one write");
    if (expected.message) {
        Require(messages == std::vector<std::string>{*expected.message}, "the message names the bad piece");
        Require(sarja1.Lahto == "before", "a stopped send leaves the echo");
    } else {
        Require(messages.empty(), "no message for a good text");
        Require(sarja1.Lahto == expected.echo, "the echo");
    }
    return 0;
}
