// The text form of the --record file, one chunk a line:
//   MS DIRECTION HEX...
// MS is the whole milliseconds since serving began (just before a command is
// started), DIRECTION "rx" for bytes read from the line or "tx" for bytes
// written to it, and HEX the bytes as upper-case hexadecimal pairs separated
// by single blanks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

std::string HexBytes(std::string_view bytes);

std::string RecordLine(std::int64_t ms, std::string_view direction, std::string_view bytes);

// A record read back: the bytes of each direction in order, and the time of
// every chunk.
struct RecordedLine {
    std::string received;  // "rx": what the tool sent
    std::string sent;      // "tx": what the stations answered
    std::vector<std::int64_t> receivedMs;
    std::vector<std::int64_t> sentMs;
};

RecordedLine ReadRecord(std::string_view record);
