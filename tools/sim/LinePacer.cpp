#include "tools/sim/LinePacer.h"

#include <algorithm>

void LinePacer::Add(std::int64_t nowUs, const Answer& answer) {
    std::int64_t notBeforeUs = nowUs + answer.delayMs * 1000;
    std::int64_t gapUs = 0;
    for (const std::string& piece : answer.pieces) {
        queue_.push_back({notBeforeUs, gapUs, piece});
        notBeforeUs = 0;
        gapUs = answer.pauseMs * 1000;
    }
}

std::int64_t LinePacer::NextStartUs() const {
    const Piece& piece = queue_.front();
    if (piece.sent > 0) return lineFreeUs_;
    return std::max(piece.notBeforeUs, lineFreeUs_ + piece.gapUs);
}

std::optional<std::int64_t> LinePacer::NextDueUs() const {
    if (NoiseMayGo()) return lineFreeUs_ + byteUs_;  // an answer never starts before the line is free
    if (queue_.empty()) return std::nullopt;
    return NextStartUs() + byteUs_;
}

std::string LinePacer::TakeDue(std::int64_t nowUs) {
    std::string due;
    while (true) {
        if (!queue_.empty() && NextStartUs() + byteUs_ <= nowUs) {
            lineFreeUs_ = NextStartUs() + byteUs_;
            Piece& piece = queue_.front();
            due += piece.bytes[piece.sent++];
            if (piece.sent == piece.bytes.size()) queue_.pop_front();
        } else if (NoiseMayGo() && lineFreeUs_ + byteUs_ <= nowUs) {
            lineFreeUs_ += byteUs_;
            noiseState_ = noiseState_ * 1103515245u + 12345u;
            due += static_cast<char>(noiseState_ >> 24);
        } else {
            return due;
        }
    }
}
