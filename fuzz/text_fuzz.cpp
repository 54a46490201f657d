// The JonoKasi2 text helpers on arbitrary texts: PadLeft gives exactly the
// asked width, NumberShape always eight characters "DD,DD,DD" with at most one
// group set, the hexadecimal helpers agree with a plain reference and
// round-trip over eight digits, StripLeading and RemoveChar drop only c.
//
// Input: one byte for the character c, one signed byte for the width, then
// the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/Require.h"
#include "text/JonoKasi2.h"

namespace {

constexpr std::string_view kHexDigits = "0123456789ABCDEF";

void CheckPadLeft(std::string_view text, char c, int width) {
    const std::string padded = PadLeft(text, c, width);
    const std::size_t size = width > 0 ? static_cast<std::size_t>(width) : 0;
    Require(padded.size() == size, "PadLeft gives exactly the width");
    if (text.size() >= size) {
        Require(padded == text.substr(0, size), "PadLeft cuts a long text on the right");
    } else {
        Require(padded == std::string(size - text.size(), c) + std::string(text), "PadLeft puts c in front");
    }
}

bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

void CheckNumberShape(std::string_view text, char separator) {
    const std::string shape = NumberShape(text, separator);
    Require(shape.size() == 8 && shape[2] == ',' && shape[5] == ',', "NumberShape is DD,DD,DD");
    for (std::size_t k : {0, 1, 3, 4, 6, 7}) Require(IsDigit(shape[k]), "NumberShape groups are digits");
    const bool whole = shape.substr(0, 2) != "00";
    const bool fraction = shape.substr(3) != "00,00";
    Require(!(whole && fraction), "NumberShape sets the whole group or the other two, not both");
    if (!text.empty() && text.size() < 100 && text.find_first_not_of("0123456789") == std::string_view::npos) {
        Require(shape == PadLeft(std::to_string(text.size()), '0', 2) + ",00,00",
                "NumberShape counts the digits of a whole number");
    }
}

// Reads every byte as a hexadecimal digit, "1"-"9" and "A"-"F" counting and
// every other byte as 0, in 32 bits.
std::uint32_t ReferenceHexValue(std::string_view text) {
    std::uint32_t value = 0;
    for (char ch : text) {
        const std::size_t digit = kHexDigits.find(ch);
        value = value * 16u + (digit == std::string_view::npos ? 0u : static_cast<std::uint32_t>(digit));
    }
    return value;
}

void CheckHex(std::string_view text) {
    Require(static_cast<std::uint32_t>(HexTextToInt(text)) == ReferenceHexValue(text),
            "HexTextToInt agrees with the reference");
    if (text.size() < 8) return;
    std::string eightDigits;
    std::uint32_t bits = 0;
    for (std::size_t k = 0; k < 8; ++k) {
        const auto byte = static_cast<std::uint8_t>(text[k]);
        eightDigits += kHexDigits[byte & 0x0Fu];
        bits = bits << 4 | (byte >> 4);
    }
    Require(IntToHexText(HexTextToInt(eightDigits), 8) == eightDigits, "8 hex digits round-trip through a value");
    const auto value = static_cast<std::int32_t>(bits);
    Require(HexTextToInt(IntToHexText(value, 8)) == value, "a value round-trips through 8 hex digits");
}

void CheckStripAndRemove(std::string_view text, char c) {
    const std::string stripped = StripLeading(text, c);
    Require(text.substr(text.size() - stripped.size()) == stripped, "StripLeading keeps a tail of the text");
    Require(stripped.empty() || stripped.front() != c, "StripLeading removes the whole leading run");
    Require(text.substr(0, text.size() - stripped.size()).find_first_not_of(c) == std::string_view::npos,
            "StripLeading removes nothing but c");
    const std::string removed = RemoveChar(text, c);
    Require(removed.find(c) == std::string::npos, "RemoveChar leaves no c");
    Require(removed.size() == text.size() - static_cast<std::size_t>(std::count(text.begin(), text.end(), c)),
            "RemoveChar keeps every other byte");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const auto c = static_cast<char>(data[0]);
    const int width = static_cast<std::int8_t>(data[1]);
    const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);
    CheckPadLeft(text, c, width);
    CheckNumberShape(text, ',');
    CheckNumberShape(text, c);
    CheckHex(text);
    CheckStripAndRemove(text, c);
    return 0;
}
