// Puts answers on the line at the pace of the baud rate: a byte takes ten bit
// times and is handed over when its last bit would have arrived. Answers are
// queued and sent one after another, as on one shared line; a late caller gets
// all bytes that have fallen due at once, so the pace never drifts.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "tools/sim/Station.h"

class LinePacer {
public:
    explicit LinePacer(int baud) : byteUs_(10'000'000 / baud) {}

    void Add(std::int64_t nowUs, const Answer& answer);
    // The bytes due by nowUs, taken off the queue.
    std::string TakeDue(std::int64_t nowUs);
    // When the next byte falls due; none when the queue is empty.
    std::optional<std::int64_t> NextDueUs() const;
    // From now on noise bytes fill the line whenever no answer is going out;
    // an answer that falls due starts after the noise byte on the line.
    void FillWithNoise() { noise_ = true; }

private:
    struct Piece {
        std::int64_t notBeforeUs;
        std::int64_t gapUs;  // after the line falls quiet
        std::string bytes;
        std::size_t sent = 0;
    };
    std::int64_t NextStartUs() const;
    bool NoiseMayGo() const { return noise_ && (queue_.empty() || queue_.front().sent == 0); }

    std::int64_t byteUs_;
    std::deque<Piece> queue_;
    std::int64_t lineFreeUs_ = 0;
    bool noise_ = false;
    std::uint32_t noiseState_ = 1;
};
