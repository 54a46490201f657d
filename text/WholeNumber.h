// The one conversion of a text to a whole number that the tool uses: station
// numbers on the command line, weight texts of replies and the decimal tokens
// of the test console all read the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Optional leading blanks, then either an optional "+" or "-" and decimal
// digits, or (with no sign) hexadecimal digits of either case after "$", "x",
// "X", "0x" or "0X". Nothing may follow the digits, not even a blank. A decimal
// value must fit 32 signed bits; up to 8 hexadecimal digits are taken as a
// 32-bit pattern, so "$FFFFFFFF" is -1.
std::optional<std::int32_t> ParseWholeNumber(std::string_view text);
