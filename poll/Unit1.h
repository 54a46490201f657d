// Unit1: the main form TForm1, which runs the tool's one weighing run.
//
// PunnitusClick sends the trigger frame; 5000 ms later the first read request
// goes out, and every tick of Timer1 or every accepted reply asks the next
// selected station (at most three requests each, 5000 ms apart while it stays
// silent). When no station is left to ask, the result line is written and the
// form closes, which ends the event loop. Received chunks come in through
// SarjaTulo, which finds reply frames, decodes and checks them and records
// the answering station.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/EventLoop.h"
#include "platform/TextOutput.h"
#include "poll/PollObserver.h"
#include "poll/Reply.h"
#include "serial/Link.h"

constexpr int kStationCount = 14;
constexpr std::int64_t kPollIntervalMs = 5000;
constexpr int kMaxTries = 3;

class TForm1 final : public ChunkReceiver {
public:
    TForm1(EventLoop& loop, FrameLink& link, TextOutput& output, PollObserver& observer = NoPollObserver());

    // FormCreate: clears the selected flags, weights and settled flags.
    void FormCreate();
    // PunnitusClick ("weighing"): starts a run; the trigger frame goes out at once.
    void PunnitusClick();
    // Timer1Timer: sends the trigger frame, or the next read request.
    void Timer1Timer();
    // LukuKomento ("read command"): send the next read request, or end the run.
    void LukuKomento();
    // SarjaTulo ("serial input"): takes one received chunk.
    void SarjaTulo(const std::string& chunk) override;

    // What closing the form does. Unset, it ends the event loop, as the
    // tool's main form does; a program whose poll cycle is one tool among
    // others sets it.
    std::function<void()> OnClose;

    // Marks a station named on the command line; numbers outside 1-14 name
    // no station and are skipped.
    void SelectStation(std::int32_t station);

    // What tests look at.
    struct Station {
        bool selected = false;
        std::int32_t weight = 0;
        bool settled = false;
        std::int32_t requestState = 0;  // 0 not asked, 1 asked, 2+ answered
        std::int32_t tries = 1;
    };
    const Station& StationAt(int station) const { return stations_[Index(station)]; }
    std::int32_t SequenceNumber() const { return sequenceNumber_; }
    bool ErrorFlag() const { return errorFlag_; }
    const std::string& ReplyBuffer() const { return replyBuffer_; }
    const ReplyReadings& Readings() const { return readings_; }
    bool Timer1Enabled() const { return Timer1.Enabled(); }

private:
    enum class Phase { TriggerPending, Polling };
    static std::size_t Index(int station) { return static_cast<std::size_t>(station - 1); }

    void AcceptReply();
    int NextStationToAsk() const;
    std::string ResultLine() const;
    void Close();

    EventLoop& loop_;
    FrameLink& link_;
    TextOutput& output_;
    PollObserver& observer_;
    IntervalTimer Timer1;

    std::array<Station, kStationCount> stations_{};
    Phase phase_ = Phase::TriggerPending;
    std::int32_t sequenceNumber_ = 1;
    bool errorFlag_ = false;
    std::string replyBuffer_;
    ReplyReadings readings_{};
    int lastAsked_ = 0;  // the station of the last read request, for its time-out
};

// A station's group in the result line: its number, 0 when settled or 1 when
// not, and its weight, e.g. "3,0,1250".
std::string ResultGroup(int station, bool settled, std::int32_t weight);
