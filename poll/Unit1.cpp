#include "poll/Unit1.h"

#include <optional>

#include "poll/Frames.h"

TForm1::TForm1(EventLoop& loop, FrameLink& link, TextOutput& output, PollObserver& observer)
    : loop_(loop), link_(link), output_(output), observer_(observer),
      Timer1(loop, kPollIntervalMs, [this] { Timer1Timer(); }) {
    FormCreate();
}

void TForm1::FormCreate() {
    for (Station& station : stations_) {
        station.selected = false;
        station.weight = 0;
        station.settled = false;
    }
}

void TForm1::SelectStation(std::int32_t station) {
    if (station >= 1 && station <= kStationCount) stations_[Index(station)].selected = true;
}

void TForm1::PunnitusClick() {
    errorFlag_ = false;
    for (Station& station : stations_) station.requestState = 0;
    replyBuffer_.clear();
    lastAsked_ = 0;
    Timer1.Enable();
    phase_ = Phase::TriggerPending;
    Timer1Timer();
}

void TForm1::Timer1Timer() {
    if (phase_ == Phase::Polling) {
        // Every accepted reply restarts the timer, so a tick means the last
        // request went unanswered.
        if (lastAsked_ != 0) observer_.TryTimedOut(lastAsked_, stations_[Index(lastAsked_)].tries);
        LukuKomento();
        return;
    }
    sequenceNumber_ = NextSequenceNumber(sequenceNumber_);
    observer_.TriggerSending(sequenceNumber_);
    link_.Lahetys(TriggerFrame(sequenceNumber_));
    phase_ = Phase::Polling;
}

int TForm1::NextStationToAsk() const {
    for (int n = 1; n <= kStationCount; ++n) {
        const Station& station = stations_[Index(n)];
        if (!station.selected) continue;
        if (station.requestState == 0 || (station.requestState == 1 && station.tries < kMaxTries)) return n;
    }
    return 0;
}

void TForm1::LukuKomento() {
    Timer1.Disable();
    Timer1.Enable();
    const int n = NextStationToAsk();
    if (n == 0) {
        Timer1.Disable();
        output_.WriteAndFlush(ResultLine());
        Close();
        return;
    }
    Station& station = stations_[Index(n)];
    station.tries = station.requestState == 0 ? 1 : station.tries + 1;
    observer_.RequestSending(n, station.tries);
    lastAsked_ = n;
    link_.Lahetys(ReadRequest(n));
    station.requestState = 1;
}

std::string TForm1::ResultLine() const {
    if (errorFlag_) return "2;Modem error";
    std::string line = "0;";
    bool first = true;
    for (int n = 1; n <= kStationCount; ++n) {
        const Station& station = stations_[Index(n)];
        if (!station.selected) continue;
        if (!first) line += ';';
        first = false;
        line += ResultGroup(n, station.settled, station.weight);
    }
    return line;
}

void TForm1::Close() {
    if (OnClose) OnClose();
    else loop_.Quit();
}

std::string ResultGroup(int station, bool settled, std::int32_t weight) {
    return std::to_string(station) + (settled ? ",0," : ",1,") + std::to_string(weight);
}

void TForm1::SarjaTulo(const std::string& chunk) {
    replyBuffer_ += chunk;
    if (replyBuffer_.size() > frame::kReplyBufferLimit) {
        observer_.BufferDropped(replyBuffer_);
        replyBuffer_.clear();
    }
    observer_.FrameSearch(replyBuffer_);
    if (!HaeSanoma(replyBuffer_)) return;
    if (ReplySequenceNumber(replyBuffer_) != sequenceNumber_) {
        observer_.OtherRunsReply(replyBuffer_, sequenceNumber_);
        // A reply to another run: dropped with the buffer, so that the replies
        // arriving after it are still found.
        replyBuffer_.clear();
        return;
    }
    AcceptReply();
    LukuKomento();
    replyBuffer_.clear();
}

void TForm1::AcceptReply() {
    readings_ = DecodeReadings(replyBuffer_);
    const std::optional<int> n = AddressedStation(replyBuffer_);
    if (!n) {
        observer_.NoStationAddressed(replyBuffer_);
        return;
    }
    const CheckedReadings checked = CheckReadings(readings_);
    errorFlag_ = errorFlag_ || checked.checkFailed;
    Station& station = stations_[Index(*n)];
    station.weight = checked.weight;
    station.requestState += 1;
    station.settled = checked.settled;
    observer_.ReplyRecorded(*n, station.tries, readings_, station.weight, station.settled, checked.checkFailed);
}
