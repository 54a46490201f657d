// Reading a found reply frame: its three readings decoded into weight texts,
// stability marks and division texts, and the reading check that decides
// whether the station's weight is good.
//
// A reply is good only when its three readings agree within the largest of
// their divisions and all three are stable ("V"). A reading the tool cannot
// read (a decimal code 4-7 or a division code 9-15, which no station should
// send) always fails the check, so it can never pass as a settled weight.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct Reading {
    std::string weight;    // e.g. "1250", "-12,5", "0"; "" when unreadable
    std::string mark;      // "V" stable, "L" not stable
    std::string division;  // "1" ... "500"; "" when unreadable
};
using ReplyReadings = std::array<Reading, 3>;

// The sequence number a reply echoes (its positions 4-5).
std::int32_t ReplySequenceNumber(std::string_view frame);

// The address character of the station that answered (position 3).
std::string ReplyAddress(std::string_view frame);

// The station 1 to 14 whose address the frame carries (ASCtunToVtun gives
// its two-digit number); nothing when it names no station.
std::optional<int> AddressedStation(std::string_view frame);

// Decodes the three readings of a 36-byte reply frame.
ReplyReadings DecodeReadings(std::string_view frame);

// TarkTiedot ("check data"): chooses the weight text and the overall mark.
// A failed check sets errorFlag; disagreeing or unreadable readings leave the
// weight text empty and the mark "L", unstable ones still choose a weight.
void TarkTiedot(const ReplyReadings& readings, std::string& weightText, std::string& mark,
                bool& errorFlag);

// What a run records of a reply's readings: the station weight (the chosen
// weight text read as a plain whole number, so 0 for one with a decimal
// comma), the settled flag, and whether the check failed, which sets the
// run's error flag.
struct CheckedReadings {
    std::int32_t weight = 0;
    bool settled = false;
    bool checkFailed = false;
};
CheckedReadings CheckReadings(const ReplyReadings& readings);

// Why readings fail the reading check, in a technician's words: `cause` is
// "unreadable" (a reading the tool cannot read), "disagree" (apart by more
// than the largest division) or "unsettled" (not stable), in the order the
// check meets them; `reading` (1 to 3) is the one that raised it, 0 when no
// single reading stands out. Nothing when the readings pass.
struct ReadingCheckFailure {
    std::string cause;
    int reading = 0;
};
std::optional<ReadingCheckFailure> ExplainReadingCheck(const ReplyReadings& readings);
