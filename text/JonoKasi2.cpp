#include "text/JonoKasi2.h"

std::string StripLeading(std::string_view text, char c) {
    const auto first = text.find_first_not_of(c);
    return first == std::string_view::npos ? std::string() : std::string(text.substr(first));
}

std::string PadLeft(std::string_view text, char c, int width) {
    if (width <= 0) return {};
    const auto size = static_cast<std::size_t>(width);
    std::string padded(text);
    if (padded.size() < size) padded.insert(0, size - padded.size(), c);
    padded.resize(size);
    return padded;
}

std::string RemoveChar(std::string_view text, char c) {
    std::string kept;
    for (char ch : text)
        if (ch != c) kept += ch;
    return kept;
}

std::string NumberShape(std::string_view text, char separator) {
    int wholeDigits = 0, fractionDigits = 0, separators = 0, minuses = 0;
    bool foreign = false;
    for (char ch : text) {
        if (ch >= '0' && ch <= '9') {
            if (separators == 0) ++wholeDigits;
            else if (separators == 1) ++fractionDigits;
        } else if (ch == separator) {
            ++separators;
        } else if (ch == '-') {
            ++minuses;
        } else {
            foreign = true;
        }
    }
    const auto twoDigits = [](int count) { return PadLeft(std::to_string(count), '0', 2); };
    const bool misplaced = separators > 1 || minuses > 1 ||
                           (separators == 1 && (wholeDigits == 0 || fractionDigits == 0)) ||
                           (minuses == 1 && text.front() != '-');
    if (misplaced || foreign) return "00,00,00";
    if (separators == 0 && wholeDigits > 0) return twoDigits(wholeDigits) + ",00,00";
    if (separators == 1) return "00," + twoDigits(wholeDigits) + "," + twoDigits(fractionDigits);
    return "00,00,00";
}

std::int32_t HexTextToInt(std::string_view text) {
    std::uint32_t sum = 0;
    std::uint32_t weight = 1;
    for (auto it = text.rbegin(); it != text.rend(); ++it, weight *= 16u) {
        const char ch = *it;
        if (ch >= '1' && ch <= '9') sum += static_cast<std::uint32_t>(ch - '0') * weight;
        else if (ch >= 'A' && ch <= 'F') sum += static_cast<std::uint32_t>(ch - 'A' + 10) * weight;
    }
    return static_cast<std::int32_t>(sum);
}

std::string IntToHexText(std::int32_t value, int digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    auto bits = static_cast<std::uint32_t>(value);
    std::string text;
    for (int i = 0; i < digits; ++i) {
        text.insert(text.begin(), kDigits[bits & 0xFu]);
        bits >>= 4;
    }
    return text;
}
