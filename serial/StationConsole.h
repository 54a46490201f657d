// StationConsole: the settings dialog as a technician's tool at the line.
//
// Beside the form's own controls (TSarja1: the settings, OK and Cancel, the
// test send, Tulo) it asks one station for its readings, sends a trigger,
// reads every frame that comes back as a run would read it, and checks the
// line with the tool's own poll cycle (TForm1), once or over and over. The
// frames, the search, the decoding and the reading check are the poll
// cycle's own, and a check's counts come from the poll cycle's verdicts
// (PollObserver), so what the console shows is what a run would do.
//
// Both views, the terminal screen and the Windows window, show this state
// and call these handlers; neither decides anything of its own. Nothing here
// changes how scalepoll runs: a check's poll cycle is a form of its own,
// closed without ending the event loop.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/SerialPort.h"
#include "platform/TextOutput.h"
#include "poll/PollObserver.h"
#include "poll/Unit1.h"
#include "serial/Sarja1_u.h"

// One entry of the decoded list: a frame found in what came in, or bytes
// that form no frame. `heading` gives the time since the request, the
// station, the sequence number and the verdict; `readings` the three
// readings, empty for bytes that form no frame.
struct DecodedEntry {
    std::string heading;
    std::string readings;
};

// What one station did over a check's cycles.
struct StationTally {
    int firstTry = 0;     // replies recorded that answered the first request
    int laterTry = 0;     // replies recorded that answered a second or third
    int silent = 0;       // cycles that recorded no reply of the station
    int checksum = 0;     // its frames not taken for a wrong checksum
    int sequence = 0;     // its frames not taken for another sequence number
    int modemErrors = 0;  // recorded replies whose readings failed the check
    std::vector<std::int64_t> answerMs;  // from each request to its recorded reply
    std::optional<std::int32_t> lastWeight;
};

class StationConsole final : public ChunkReceiver, private PollObserver, private TextOutput {
public:
    StationConsole(EventLoop& loop, SerialPorts& ports);
    ~StationConsole() override;
    StationConsole(const StationConsole&) = delete;
    StationConsole& operator=(const StationConsole&) = delete;

    // Applies the setting texts to the port (the form's AsetaComm), and
    // says why when the port cannot be opened.
    void OpenPort();
    // OK: the form's BitBtn1Click, and why the port cannot be opened.
    void OkClick();
    // Nollaa: empties Tulo and the decoded list together.
    void NollaaClick();

    // Ask: the read request for the station in StationText (1 to 14).
    void AskClick();
    // Trigger: a trigger frame with the sequence number after the last one.
    void TriggerClick();

    // Poll: a check over the ticked stations, one weighing run after the
    // other while Repeat is set. Stop ends it between frames; the cycle it
    // cuts short counts nothing.
    void PollClick();
    void StopClick();
    bool Checking() const { return cycle_ != nullptr; }

    std::string StationText = "1";
    std::array<bool, kStationCount> Ticked{};
    bool Repeat = false;

    const std::deque<DecodedEntry>& Decoded() const { return decoded_; }
    // The check's table: a header, then one row per ticked station.
    std::vector<std::string> CheckTable() const;
    // How far the check is, and the replies that named no station.
    std::string CheckState() const;
    // Each finished cycle's result line, as scalepoll prints it; the latest last.
    const std::deque<std::string>& ResultLines() const { return resultLines_; }
    const StationTally& Tally(int station) const { return tallies_[static_cast<std::size_t>(station - 1)]; }
    std::optional<std::int32_t> LastTrigger() const { return lastTrigger_; }
    // Why the port cannot be opened, or what went wrong on it; empty when nothing did.
    const std::string& PortProblem() const { return portProblem_; }

    // Called after anything shown has changed on its own (bytes came, a
    // check moved on), for the view to draw again.
    std::function<void()> OnChange;

    static constexpr std::size_t kDecodedLimit = 200;
    static constexpr std::size_t kResultLineLimit = 50;

private:
    class WatchedPorts;
    EventLoop& loop_;
    std::unique_ptr<WatchedPorts> ports_;

public:
    // The form, over the ports as this console watches them.
    TSarja1 Sarja1;

private:
    // A fault met on the open port, told once per kind while it is open.
    void PortFailed(const PortFault& fault);

    void SarjaTulo(const std::string& chunk) override;
    void WriteAndFlush(std::string_view text) override;

    // PollObserver: the check's poll cycle telling its verdicts.
    void TriggerSending(std::int32_t sequenceNumber) override;
    void RequestSending(int station, std::int32_t tryNumber) override;
    void FrameSearch(std::string_view buffer) override;
    void BufferDropped(std::string_view bytes) override;
    void OtherRunsReply(std::string_view frame, std::int32_t runsSequenceNumber) override;
    void NoStationAddressed(std::string_view frame) override;
    void ReplyRecorded(int station, std::int32_t tryNumber, const ReplyReadings& readings, std::int32_t weight,
                       bool settled, bool checkFailed) override;

    void Decode();
    void ListUnframed(std::string_view bytes);
    void ListFrame(std::string_view frame, const std::string& verdict);
    std::string Verdict(std::string_view frame) const;
    std::string SequenceNote(std::string_view frame) const;
    std::string SinceRequest() const;
    void List(DecodedEntry entry);
    void NotePortState();
    void StartCycle();
    void CycleClosed();
    void AfterCycle();
    StationTally& TallyOf(int station) { return tallies_[static_cast<std::size_t>(station - 1)]; }
    void Changed();

    std::unique_ptr<TForm1> cycle_;
    IntervalTimer afterCycle_;

    std::string pending_;  // received bytes not yet listed
    std::deque<DecodedEntry> decoded_;
    std::optional<std::int32_t> lastTrigger_;
    std::optional<std::int64_t> lastRequestMs_;

    std::array<StationTally, kStationCount> tallies_{};
    std::array<std::optional<std::int64_t>, kStationCount> requestMs_{};
    std::array<bool, kStationCount> checked_{};  // the stations of the running check
    int cyclesDone_ = 0;
    int noStation_ = 0;
    std::size_t checksumSearchFrom_ = 0;
    std::deque<std::string> resultLines_;
    std::string portProblem_;
};
