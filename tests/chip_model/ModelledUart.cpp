#include "tests/chip_model/ModelledUart.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace {

const char* ParityName(Parity parity) {
    switch (parity) {
        case Parity::Odd: return "Odd";
        case Parity::Even: return "Even";
        case Parity::Mark: return "Mark";
        case Parity::Space: return "Space";
        case Parity::None: break;
    }
    return "None";
}

std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const char byte : bytes) {
        text += digits[static_cast<unsigned char>(byte) >> 4];
        text += digits[static_cast<unsigned char>(byte) & 15];
    }
    return text;
}

// What the wire carries of a byte: its data bits only.
char OnTheWire(char byte, int dataBits) {
    return static_cast<char>(static_cast<unsigned char>(byte) & ((1u << dataBits) - 1));
}

}  // namespace

std::int64_t LineSettings::CharacterUs() const {
    const int bits = 1 + dataBits + (parity == Parity::None ? 0 : 1) + stopBits;
    return (bits * std::int64_t{1'000'000} + baud / 2) / baud;
}

std::string LineSettings::Text() const {
    return std::to_string(baud) + " " + std::to_string(dataBits) + " " + ParityName(parity) + " " +
           std::to_string(stopBits);
}

std::uint32_t NearestStandardBaud(double baud) {
    for (const std::uint32_t standard : {300u, 600u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 38400u, 57600u,
                                         115200u})
        if (baud > standard * 0.97 && baud < standard * 1.03) return standard;
    return static_cast<std::uint32_t>(baud + 0.5);
}

std::int64_t MonotonicUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * std::int64_t{1'000'000} + now.tv_nsec / 1000;
}

ModelledUart::ModelledUart(std::FILE* journal, std::map<int, StationScript> stations)
    : journal_(journal),
      stations_(std::move(stations)),
      answers_(std::make_unique<LinePacer>(static_cast<int>(line_.baud))),
      wire_([this] { Wire(); }) {}

ModelledUart::~ModelledUart() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }
    wire_.join();
}

void ModelledUart::SetLine(const LineSettings& settings) {
    std::lock_guard lock(mutex_);
    if (settings.baud != line_.baud) answers_ = std::make_unique<LinePacer>(static_cast<int>(settings.baud));
    line_ = settings;
}

LineSettings ModelledUart::Line() const {
    std::lock_guard lock(mutex_);
    return line_;
}

// Once the adapter is gone, nothing the driver asks reaches the wire.
void ModelledUart::SetModemLines(bool dtr, bool rts) {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    const std::int64_t nowUs = MonotonicUs();
    if (dtr_ && !dtr) frame_ = Frame{++frames_, {}, line_, nowUs};
    if (frame_ && rts) frame_->rtsSeen = true;
    if (!dtr_ && dtr && frame_) CloseFrame(nowUs);
    dtr_ = dtr;
    rts_ = rts;
}

// A lowering with nothing sent (the port closed, or opened again) is no frame.
void ModelledUart::CloseFrame(std::int64_t nowUs) {
    Frame frame = std::move(*frame_);
    frame_.reset();
    if (frame.bytes.empty()) {
        --frames_;
        return;
    }
    Write("frame " + std::to_string(frame.number) + " bytes=" + Hex(frame.bytes) + " line=" +
          std::to_string(frame.line.baud) + "," + std::to_string(frame.line.dataBits) + "," +
          ParityName(frame.line.parity) + "," + std::to_string(frame.line.stopBits) +
          " lead-us=" + std::to_string(frame.firstInUs - frame.dtrLowUs) +
          " after-us=" + std::to_string(nowUs - frame.lastOutUs) + " left=" + std::to_string(QueuedAt(nowUs)) +
          " rts=" + (frame.rtsSeen ? "1" : "0"));
}

std::size_t ModelledUart::FreeSpace() const {
    std::lock_guard lock(mutex_);
    return kFifoBytes - std::min(kFifoBytes, QueuedAt(MonotonicUs()));
}

int ModelledUart::Transmit(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    const std::int64_t nowUs = MonotonicUs();
    for (const char byte : bytes) {
        const std::int64_t startsUs = fifo_.empty() ? nowUs : std::max(nowUs, fifo_.back().leavesUs);
        fifo_.push_back({byte, startsUs + line_.CharacterUs(), startsUs});
    }
    changed_.notify_all();
    if (!frame_ || dtr_) {
        Write("stray " + std::to_string(bytes.size()) + " bytes=" + Hex(bytes));
        return 0;
    }
    if (frame_->firstInUs < 0) frame_->firstInUs = nowUs;
    frame_->bytes += bytes;
    frame_->lastOutUs = fifo_.back().leavesUs;
    return frame_->number;
}

std::size_t ModelledUart::QueuedAt(std::int64_t nowUs) const {
    return static_cast<std::size_t>(
        std::count_if(fifo_.begin(), fifo_.end(), [&](const Byte& byte) { return byte.leavesUs > nowUs; }));
}

std::size_t ModelledUart::BytesQueued() const {
    std::lock_guard lock(mutex_);
    return QueuedAt(MonotonicUs());
}

bool ModelledUart::HoldingRegisterEmpty() const {
    std::lock_guard lock(mutex_);
    const std::int64_t nowUs = MonotonicUs();
    return std::all_of(fifo_.begin(), fifo_.end(), [&](const Byte& byte) { return byte.startsUs <= nowUs; });
}

std::string ModelledUart::TakeReceived(std::int64_t deadlineUs) {
    std::unique_lock lock(mutex_);
    while (received_.empty() && !stopped_ && MonotonicUs() < deadlineUs)
        changed_.wait_for(lock, std::chrono::microseconds(deadlineUs - MonotonicUs()));
    return std::exchange(received_, {});
}

void ModelledUart::Pulled() {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    Write("pulled frame=" + std::to_string(frames_) + " left=" + std::to_string(QueuedAt(MonotonicUs())) +
          " dtr=" + (dtr_ ? "up" : "low"));
    stopped_ = true;
    changed_.notify_all();
}

// Sleeps until the next byte leaves the wire or the next answer byte is due,
// whichever comes first; a byte sent meanwhile wakes it early.
void ModelledUart::Wire() {
    std::unique_lock lock(mutex_);
    while (!stopped_) {
        const std::int64_t nowUs = MonotonicUs();
        while (!fifo_.empty() && fifo_.front().leavesUs <= nowUs) {
            const std::string heard(1, OnTheWire(fifo_.front().value, line_.dataBits));
            fifo_.pop_front();
            for (const Response& response : stations_.Feed(heard))
                if (!response.answer.pieces.empty()) answers_->Add(nowUs, response.answer);
        }
        const std::string due = answers_->TakeDue(nowUs);
        if (!due.empty()) {
            received_ += due;
            changed_.notify_all();
        }
        std::int64_t wakeUs = nowUs + 1'000'000;
        if (!fifo_.empty()) wakeUs = std::min(wakeUs, fifo_.front().leavesUs);
        if (const auto answerUs = answers_->NextDueUs()) wakeUs = std::min(wakeUs, *answerUs);
        changed_.wait_for(lock, std::chrono::microseconds(std::max<std::int64_t>(wakeUs - nowUs, 1)));
    }
}

void ModelledUart::Write(const std::string& record) {
    std::fprintf(journal_, "%lld %s\n", static_cast<long long>(MonotonicUs() / 1000), record.c_str());
    std::fflush(journal_);
}
