#include "tools/sim/RecordFormat.h"

#include "text/JonoKasi2.h"

std::string HexBytes(std::string_view bytes) {
    std::string text;
    for (char byte : bytes) {
        if (!text.empty()) text += ' ';
        text += IntToHexText(static_cast<std::uint8_t>(byte), 2);
    }
    return text;
}

std::string RecordLine(std::int64_t ms, std::string_view direction, std::string_view bytes) {
    return std::to_string(ms) + ' ' + std::string(direction) + ' ' + HexBytes(bytes) + '\n';
}
