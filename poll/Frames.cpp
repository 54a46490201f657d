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

bool HaeSanoma(std::string& buffer) {
    const std::size_t size = buffer.size();
    if (size < frame::kReplySize - 1) return false;
    for (std::size_t p = 0; p + 1 < size; ++p) {
        if (buffer[p] != frame::STX) continue;
        if (p + 34 >= size || buffer[p + 34] != frame::CR) continue;
        if (p + 35 >= size) continue;
        if (LasCrC(std::string_view(buffer).substr(p, 35)) != buffer[p + 35]) continue;
        buffer = buffer.substr(p, frame::kReplySize);
        return true;
    }
    return false;
}

std::vector<std::size_t> FramesWithWrongChecksum(std::string_view buffer, std::size_t from) {
    std::vector<std::size_t> found;
    for (std::size_t p = from; p + frame::kReplySize <= buffer.size(); ++p) {
        if (buffer[p] != frame::STX || buffer[p + 34] != frame::CR) continue;
        if (LasCrC(buffer.substr(p, 35)) != buffer[p + 35]) found.push_back(p);
    }
    return found;
}
