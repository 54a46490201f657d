// The frame search and the reply check on arbitrary received bytes. HaeSanoma
// finds the same frame as a plain scan for the first good frame (or leaves the
// buffer alone), and the readings of a found frame lead to a consistent
// verdict: a settled weight only with no error, and never from an unreadable
// reading.
//
// Input: the received bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/Require.h"
#include "poll/Frames.h"
#include "poll/Reply.h"

namespace {

// The first STX ... CR checksum frame of reply size, by its plain definition.
std::string FirstReplyFrame(std::string_view bytes) {
    for (std::size_t p = 0; p + frame::kReplySize <= bytes.size(); ++p) {
        const std::string_view candidate = bytes.substr(p, frame::kReplySize);
        if (candidate.front() != frame::STX || candidate[frame::kReplySize - 2] != frame::CR) continue;
        if (LasCrC(candidate.substr(0, frame::kReplySize - 1)) == candidate.back()) return std::string(candidate);
    }
    return {};
}

bool WeightShaped(std::string_view weight) {
    if (!weight.empty() && weight.front() == '-') weight.remove_prefix(1);
    const std::size_t comma = weight.find(',');
    const std::string_view whole = weight.substr(0, comma);
    const std::string_view fraction = comma == std::string_view::npos ? "1" : weight.substr(comma + 1);
    const auto digits = [](std::string_view part) {
        return !part.empty() && part.find_first_not_of("0123456789") == std::string_view::npos;
    };
    return digits(whole) && digits(fraction);
}

void CheckReadings(const std::string& replyFrame) {
    const ReplyReadings readings = DecodeReadings(replyFrame);
    bool readable = true;
    for (const Reading& reading : readings) {
        Require(reading.mark == "V" || reading.mark == "L", "a reading is marked stable or not");
        Require(reading.weight.empty() || WeightShaped(reading.weight), "a weight text is a number");
        readable = readable && !reading.weight.empty() && !reading.division.empty();
    }
    std::string weightText = "x";
    std::string mark;
    bool errorFlag = false;
    TarkTiedot(readings, weightText, mark, errorFlag);
    Require(mark == "V" || mark == "L", "the verdict is stable or not");
    Require(errorFlag != (mark == "V"), "an error exactly when the weight is not settled");
    Require(readable || errorFlag, "an unreadable reading is an error");
    Require(mark != "V" || !weightText.empty(), "a settled weight has a weight text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string received(reinterpret_cast<const char*>(data), size);
    const std::string expected = FirstReplyFrame(received);
    std::string buffer = received;
    const bool found = HaeSanoma(buffer);
    Require(found == !expected.empty(), "a frame is found exactly when there is one");
    Require(buffer == (found ? expected : received), "the buffer holds the first frame, or is left alone");
    if (found) CheckReadings(buffer);
    return 0;
}
