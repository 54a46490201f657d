#include "poll/Reply.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "poll/Frames.h"
#include "text/JonoKasi2.h"
#include "text/WholeNumber.h"

// One-character texts are assigned as characters: GCC 12 at -O3 reports a
// false -Wrestrict inside std::string for = "L" (GCC bug 105329).

namespace {

constexpr std::size_t kReadingStart[3] = {5, 15, 25};  // first status byte, 0-based
constexpr std::size_t kDigitCount = 7;
constexpr const char* kDivisions[] = {"1", "2", "5", "10", "20", "50", "100", "200", "500"};

std::uint8_t ByteAt(std::string_view frame, std::size_t index) {
    return static_cast<std::uint8_t>(frame[index]);
}

// The seven digits with the decimal comma placed by the decimal code, cleaned
// into a number text; an undefined decimal code gives "".
std::string WeightText(std::string_view digits, int decimalCode, bool negative) {
    if (decimalCode > 3) return {};
    std::string weight(digits);
    if (decimalCode > 0) weight.insert(kDigitCount - static_cast<std::size_t>(decimalCode), 1, ',');
    weight = StripLeading(weight, '0');
    if (weight.empty()) weight = '0';
    if (weight.front() == ',') weight.insert(0, 1, '0');
    if (negative) weight.insert(0, 1, '-');
    if (NumberShape(weight, ',') == "00,00,00") weight = '0';
    return weight;
}

std::string DivisionText(int divisionCode) {
    return divisionCode < static_cast<int>(std::size(kDivisions)) ? kDivisions[divisionCode] : "";
}

}  // namespace

std::int32_t ReplySequenceNumber(std::string_view frame) { return HexTextToInt(frame.substr(3, 2)); }

std::string ReplyAddress(std::string_view frame) { return std::string(frame.substr(2, 1)); }

std::optional<int> AddressedStation(std::string_view frame) {
    const std::string address = ASCtunToVtun(ReplyAddress(frame));
    for (int n = 1; n <= 14; ++n)
        if (PadLeft(std::to_string(n), '0', 2) == address) return n;
    return std::nullopt;
}

ReplyReadings DecodeReadings(std::string_view frame) {
    const int decimalCode = ByteAt(frame, kReadingStart[0]) & 0x07;
    ReplyReadings readings;
    for (std::size_t k = 0; k < 3; ++k) {
        const std::size_t at = kReadingStart[k];
        const std::uint8_t status = ByteAt(frame, at);
        const std::uint8_t status2 = ByteAt(frame, at + 1);
        readings[k].weight = WeightText(frame.substr(at + 2, kDigitCount), decimalCode, (status & 0x10) != 0);
        readings[k].mark = (status2 & 0x10) != 0 ? 'L' : 'V';
        readings[k].division = DivisionText(status2 & 0x0F);
    }
    return readings;
}

void TarkTiedot(const ReplyReadings& readings, std::string& weightText, std::string& mark, bool& errorFlag) {
    weightText.clear();
    mark = 'L';
    std::array<std::int64_t, 3> x{};
    std::int64_t largestDivision = 0;
    for (std::size_t k = 0; k < 3; ++k) {
        const auto weight = ParseWholeNumber(RemoveChar(readings[k].weight, ','));
        const auto division = ParseWholeNumber(readings[k].division);
        if (!weight || !division) {
            errorFlag = true;
            return;
        }
        x[k] = *weight;
        largestDivision = std::max<std::int64_t>(largestDivision, *division);
    }
    if (std::llabs(x[0] - x[1]) > largestDivision || std::llabs(x[0] - x[2]) > largestDivision ||
        std::llabs(x[1] - x[2]) > largestDivision) {
        errorFlag = true;
        return;
    }
    const bool allStable = std::all_of(readings.begin(), readings.end(),
                                       [](const Reading& r) { return r.mark == "V"; });
    if (allStable) mark = 'V';
    else errorFlag = true;
    weightText = x[1] == x[2] ? readings[1].weight : readings[0].weight;
}

CheckedReadings CheckReadings(const ReplyReadings& readings) {
    std::string weightText;
    std::string mark;
    CheckedReadings checked;
    TarkTiedot(readings, weightText, mark, checked.checkFailed);
    checked.weight = ParseWholeNumber(weightText).value_or(0);
    checked.settled = mark == "V";
    return checked;
}

std::optional<ReadingCheckFailure> ExplainReadingCheck(const ReplyReadings& readings) {
    std::array<std::int64_t, 3> x{};
    std::int64_t largestDivision = 0;
    for (std::size_t k = 0; k < 3; ++k) {
        const auto weight = ParseWholeNumber(RemoveChar(readings[k].weight, ','));
        const auto division = ParseWholeNumber(readings[k].division);
        if (!weight || !division) return ReadingCheckFailure{"unreadable", static_cast<int>(k + 1)};
        x[k] = *weight;
        largestDivision = std::max<std::int64_t>(largestDivision, *division);
    }
    const auto apart = [&](std::size_t a, std::size_t b) { return std::llabs(x[a] - x[b]) > largestDivision; };
    const bool apart01 = apart(0, 1);
    const bool apart02 = apart(0, 2);
    const bool apart12 = apart(1, 2);
    if (apart01 || apart02 || apart12) {
        // The reading apart from both others raised it; when two pairs do
        // not both point at one reading, none stands out.
        int odd = 0;
        if (apart01 && apart02 && !apart12) odd = 1;
        if (apart01 && apart12 && !apart02) odd = 2;
        if (apart02 && apart12 && !apart01) odd = 3;
        return ReadingCheckFailure{"disagree", odd};
    }
    for (std::size_t k = 0; k < 3; ++k)
        if (readings[k].mark != "V") return ReadingCheckFailure{"unsettled", static_cast<int>(k + 1)};
    return std::nullopt;
}
