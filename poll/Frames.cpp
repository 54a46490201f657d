#include "poll/Frames.h"

#include "text/JonoKasi2.h"
#include "text/WholeNumber.h"

char LasCrC(std::string_view text) {
    std::uint8_t sum = 0;
    for (char ch : text) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(ch));
    return static_cast<char>(static_cast<std::uint8_t>(0u - sum));
}

std::string VtunToASCtun(std::string_view stationText) {
    const std::int32_t station = ParseWholeNumber(stationText).value_or(0);
    return std::string(1, static_cast<char>(static_cast<std::uint32_t>(station) + 48u));
}

std::string ASCtunToVtun(std::string_view addressCharacter) {
    const int code = addressCharacter.empty() ? 0 : static_cast<std::uint8_t>(addressCharacter.front());
    return PadLeft(std::to_string(code - 48), '0', 2);
}

namespace {
std::string Closed(std::string content) {
    content += LasCrC(content);
    return content;
}
}  // namespace

std::int32_t NextSequenceNumber(std::int32_t previous) { return previous % 255 + 1; }

std::string TriggerFrame(std::int32_t sequenceNumber) {
    return Closed(std::string(1, frame::STX) + "*0MW" + IntToHexText(sequenceNumber, 2) + frame::CR);
}

std::string ReadRequest(int station) {
    const std::string address = VtunToASCtun(PadLeft(std::to_string(station), '0', 2));
    return Closed(std::string(1, frame::STX) + address + "0?M" + frame::CR);
}

namespace {
// A whole reply frame with a good checksum starts at p: STX, CR 34 bytes
// later, and the checksum byte after it fits.
bool ReplyFrameAt(std::string_view buffer, std::size_t p) {
    if (buffer[p] != frame::STX) return false;
    if (p + 34 >= buffer.size() || buffer[p + 34] != frame::CR) return false;
    if (p + 35 >= buffer.size()) return false;
    return LasCrC(buffer.substr(p, 35)) == buffer[p + 35];
}
}  // namespace

bool HaeSanoma(std::string& buffer) {
    if (buffer.size() < frame::kReplySize - 1) return false;
    for (std::size_t p = 0; p + 1 < buffer.size(); ++p) {
        if (!ReplyFrameAt(buffer, p)) continue;
        buffer = buffer.substr(p, frame::kReplySize);
        return true;
    }
    return false;
}

std::vector<std::size_t> ReplyFramesIn(std::string_view bytes) {
    std::vector<std::size_t> found;
    for (std::size_t p = 0; p + frame::kReplySize <= bytes.size(); ++p)
        if (ReplyFrameAt(bytes, p)) found.push_back(p);
    return found;
}

std::vector<std::size_t> FramesWithWrongChecksum(std::string_view buffer, std::size_t from) {
    std::vector<std::size_t> found;
    for (std::size_t p = from; p + frame::kReplySize <= buffer.size(); ++p) {
        if (buffer[p] != frame::STX || buffer[p + 34] != frame::CR) continue;
        if (LasCrC(buffer.substr(p, 35)) != buffer[p + 35]) found.push_back(p);
    }
    return found;
}
