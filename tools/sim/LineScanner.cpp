#include "tools/sim/LineScanner.h"

#include <algorithm>
#include <cstdint>

#include "poll/Frames.h"
#include "text/JonoKasi2.h"

namespace {

constexpr std::size_t kTriggerSize = 9;
constexpr std::size_t kRequestSize = 7;

enum class Fit { No, Partial, Whole };

// How the bytes at the start of `rest` match the frame `expected`.
Fit FitOf(std::string_view rest, std::string_view expected) {
    const std::size_t n = std::min(rest.size(), expected.size());
    if (rest.substr(0, n) != expected.substr(0, n)) return Fit::No;
    return n == expected.size() ? Fit::Whole : Fit::Partial;
}

// Until both sequence digits are in, only the fixed part "<STX>*0MW" is compared.
Fit TriggerFit(std::string_view rest, int& sequence) {
    const bool digitsIn = rest.size() >= 7;
    sequence = digitsIn ? HexTextToInt(rest.substr(5, 2)) : 0;
    return FitOf(digitsIn ? rest : rest.substr(0, 5), TriggerFrame(sequence));
}

Fit RequestFit(std::string_view rest, int& station) {
    if (rest.size() < 2) return Fit::Partial;
    station = static_cast<std::uint8_t>(rest[1]) - 48;
    if (station < 1 || station > 14) return Fit::No;
    return FitOf(rest, ReadRequest(station));
}

}  // namespace

std::vector<Heard> LineScanner::Feed(std::string_view bytes) {
    pending_ += bytes;
    const std::string_view all = pending_;
    std::vector<Heard> heard;
    std::size_t p = 0;
    while (p < all.size()) {
        if (all[p] != frame::STX) {
            ++p;
            continue;
        }
        int sequence = 0;
        int station = 0;
        const Fit trigger = TriggerFit(all.substr(p), sequence);
        const Fit request = RequestFit(all.substr(p), station);
        if (trigger == Fit::Whole) {
            heard.push_back({Heard::Trigger, sequence});
            p += kTriggerSize;
        } else if (request == Fit::Whole) {
            heard.push_back({Heard::Request, station});
            p += kRequestSize;
        } else if (trigger == Fit::Partial || request == Fit::Partial) {
            break;
        } else {
            ++p;
        }
    }
    pending_.erase(0, p);
    return heard;
}
