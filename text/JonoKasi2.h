// JonoKasi2 ("string helpers"): the six small text and number functions the
// poll cycle uses to build and read frame fields. Texts are 8-bit strings,
// compared byte by byte; none of the functions rejects its input or keeps state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// StripLeading: the text without its leading run of character c.
std::string StripLeading(std::string_view text, char c);

// PadLeft: c put in front up to width characters; a longer text keeps its
// first width characters (the cut is on the right). A width <= 0 gives "".
std::string PadLeft(std::string_view text, char c, int width);

// RemoveChar: the text with every c deleted.
std::string RemoveChar(std::string_view text, char c);

// NumberShape: "II,00,00" for a whole number of I digits, "00,II,FF" for a
// number with one separator, "00,00,00" for a text that is no number.
std::string NumberShape(std::string_view text, char separator);

// HexTextToInt: only "1"-"9" and "A"-"F" count; every other byte is 0.
// Weights are taken in 32 bits, so the ninth digit from the right on adds 0.
std::int32_t HexTextToInt(std::string_view text);

// IntToHexText: exactly `digits` upper-case hexadecimal digits of the value.
std::string IntToHexText(std::int32_t value, int digits);
