#include "tools/sim/RecordFormat.h"

#include <sstream>

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

RecordedLine ReadRecord(std::string_view record) {
    RecordedLine line;
    std::istringstream lines{std::string(record)};
    for (std::string text; std::getline(lines, text);) {
        std::istringstream fields(text);
        std::int64_t ms = 0;
        std::string direction;
        fields >> ms >> direction;
        const bool received = direction == "rx";
        (received ? line.receivedMs : line.sentMs).push_back(ms);
        for (std::string hex; fields >> hex;)
            (received ? line.received : line.sent) += static_cast<char>(HexTextToInt(hex));
    }
    return line;
}
