// The whole-number conversion on arbitrary texts: it agrees with a plain
// reference built on std::from_chars, and every value it gives reads back
// the same from its decimal and its eight-digit hexadecimal forms.
//
// Input: the text.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/Require.h"
#include "text/JonoKasi2.h"
#include "text/WholeNumber.h"

namespace {

bool AllOf(std::string_view text, std::string_view allowed) {
    return !text.empty() && text.find_first_not_of(allowed) == std::string_view::npos;
}

// The digits as an unsigned number of at most 64 bits, or nothing.
std::optional<std::uint64_t> Unsigned(std::string_view digits, int base) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

std::optional<std::int32_t> Reference(std::string_view text) {
    text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
    for (std::string_view prefix : {"0x", "0X", "$", "x", "X"}) {
        if (text.substr(0, prefix.size()) != prefix) continue;
        const std::string_view digits = text.substr(prefix.size());
        if (!AllOf(digits, "0123456789abcdefABCDEF")) return std::nullopt;
        const auto value = Unsigned(digits, 16);
        if (!value || *value > 0xFFFFFFFFu) return std::nullopt;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(*value));
    }
    const bool negative = !text.empty() && text.front() == '-';
    if (negative || (!text.empty() && text.front() == '+')) text.remove_prefix(1);
    if (!AllOf(text, "0123456789")) return std::nullopt;
    const auto magnitude = Unsigned(text, 10);
    if (!magnitude || *magnitude > (negative ? 2147483648u : 2147483647u)) return std::nullopt;
    return static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(*magnitude)
                                              : static_cast<std::int64_t>(*magnitude));
}

void CheckRoundTrips(std::int32_t value) {
    Require(ParseWholeNumber(std::to_string(value)) == value, "a value reads back from its decimal text");
    Require(ParseWholeNumber("$" + IntToHexText(value, 8)) == value, "a value reads back from $ and 8 hex digits");
    Require(ParseWholeNumber("  0x" + IntToHexText(value, 8)) == value, "leading blanks are skipped");
    Require(!ParseWholeNumber(std::to_string(value) + " "), "a trailing blank spoils the number");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<std::int32_t> parsed = ParseWholeNumber(text);
    Require(parsed == Reference(text), "the conversion agrees with the reference");
    if (parsed) CheckRoundTrips(*parsed);
    if (size >= 4) {
        std::uint32_t bits = 0;
        for (std::size_t k = 0; k < 4; ++k) bits = bits << 8 | data[k];
        CheckRoundTrips(static_cast<std::int32_t>(bits));
    }
    return 0;
}
