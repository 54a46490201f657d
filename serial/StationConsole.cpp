#include "serial/StationConsole.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <set>
#include <utility>

#include "poll/Frames.h"
#include "poll/LineTrace.h"
#include "poll/Reply.h"
#include "text/JonoKasi2.h"
#include "text/WholeNumber.h"

namespace {

std::string ReadingText(const Reading& reading) {
    return (reading.weight.empty() ? std::string("?") : reading.weight) + ' ' + reading.mark + " div " +
           (reading.division.empty() ? std::string("?") : reading.division);
}

std::string ReadingsText(const ReplyReadings& readings) {
    return "readings  " + ReadingText(readings[0]) + " | " + ReadingText(readings[1]) + " | " +
           ReadingText(readings[2]);
}

std::string ModemError(const ReadingCheckFailure& failure) {
    if (failure.cause == "disagree") {
        if (failure.reading == 0) return "modem error: readings disagree";
        return "modem error: reading " + std::to_string(failure.reading) + " disagrees";
    }
    return "modem error: reading " + std::to_string(failure.reading) + ' ' + failure.cause;
}

std::string StationOf(std::string_view frame) {
    const auto station = AddressedStation(frame);
    return station ? std::to_string(*station) : "?";
}

// The middle answer time; of an even count, the mean of the middle two.
std::int64_t Median(std::vector<std::int64_t> times) {
    std::sort(times.begin(), times.end());
    const std::size_t half = times.size() / 2;
    return times.size() % 2 == 1 ? times[half] : (times[half - 1] + times[half]) / 2;
}

std::string Row(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Row(const char* format, ...) {
    char text[160];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

}  // namespace

// The ports as the console watches them: every port opened through them
// tells the console the faults it meets, each kind once while it is open,
// as the line trace tells them.
class StationConsole::WatchedPorts final : public SerialPorts {
public:
    WatchedPorts(SerialPorts& ports, StationConsole& console) : ports_(ports), console_(console) {}

    std::unique_ptr<SerialPort> Open(int portNumber) override {
        auto port = ports_.Open(portNumber);
        return port ? std::make_unique<WatchedPort>(std::move(port), console_) : nullptr;
    }
    std::string Describe(int portNumber) override { return ports_.Describe(portNumber); }
    OpenFailure LastOpenFailure() override { return ports_.LastOpenFailure(); }

private:
    class WatchedPort final : public SerialPort {
    public:
        WatchedPort(std::unique_ptr<SerialPort> port, StationConsole& console)
            : port_(std::move(port)), console_(console) {}

        void SetState(const CommState& state) override { port_->SetState(state); }
        void SetQueueSizes(std::uint16_t input, std::uint16_t output) override {
            port_->SetQueueSizes(input, output);
        }
        void SetTimeouts(const CommTimeouts& timeouts) override { port_->SetTimeouts(timeouts); }
        void Purge(bool input, bool output) override { port_->Purge(input, output); }
        std::uint32_t OutputQueued() override { return port_->OutputQueued(); }
        void SetDtr(bool raised) override { port_->SetDtr(raised); }
        bool Read(void* into, std::size_t capacity, std::size_t& got) override {
            return Noted(port_->Read(into, capacity, got));
        }
        std::size_t Write(const void* bytes, std::size_t count) override { return Noted(port_->Write(bytes, count)); }
        bool WaitWritable(std::int64_t timeoutMs) override { return Noted(port_->WaitWritable(timeoutMs)); }
        bool Drain(std::int64_t timeoutMs) override { return Noted(port_->Drain(timeoutMs)); }
        Waitable* Input() override { return port_->Input(); }
        std::optional<CommState> StateInForce() override { return port_->StateInForce(); }

    private:
        template <typename Result>
        Result Noted(Result result) {
            if (auto fault = port_->TakeFault(); fault && told_.insert(fault->reason).second)
                console_.PortFailed(*fault);
            return result;
        }

        std::unique_ptr<SerialPort> port_;
        StationConsole& console_;
        std::set<PortFault::Reason> told_;
    };

    SerialPorts& ports_;
    StationConsole& console_;
};

StationConsole::StationConsole(EventLoop& loop, SerialPorts& ports)
    : loop_(loop), ports_(std::make_unique<WatchedPorts>(ports, *this)), Sarja1(loop, *ports_),
      afterCycle_(loop, 0, [this] { AfterCycle(); }) {
    Sarja1.ConnectReceiver(*this);
}

StationConsole::~StationConsole() = default;

void StationConsole::OpenPort() {
    Sarja1.AsetaComm();
    NotePortState();
}

void StationConsole::OkClick() {
    Sarja1.BitBtn1Click();
    NotePortState();
}

void StationConsole::NotePortState() {
    if (Sarja1.SerialDriver.IsPortOpen()) {
        portProblem_.clear();
        return;
    }
    const int port = Sarja1.SerialDriver.ComPort() + 1;
    const OpenFailure failure = ports_->LastOpenFailure();
    portProblem_ = "COM" + std::to_string(port) + " (" + FreeText(ports_->Describe(port)) +
                   ") cannot be opened: " + OpenReasonWord(failure.reason) + " -- " + FreeText(failure.message);
    if (!failure.hint.empty()) portProblem_ += "; " + FreeText(failure.hint);
}

void StationConsole::PortFailed(const PortFault& fault) {
    const int port = Sarja1.SerialDriver.ComPort() + 1;
    portProblem_ = "COM" + std::to_string(port) + " failed: " + FaultWord(fault.reason) + " -- " +
                   FreeText(fault.message);
    Changed();
}

void StationConsole::NollaaClick() {
    Sarja1.NollaaClick();
    decoded_.clear();
    pending_.clear();
}

void StationConsole::AskClick() {
    if (Checking()) return;
    const auto station = ParseWholeNumber(StationText);
    if (!station || *station < 1 || *station > kStationCount) {
        if (Sarja1.OnMessage) Sarja1.OnMessage("Ask: the station is 1 to 14, not '" + FreeText(StationText) + "'");
        return;
    }
    lastRequestMs_ = loop_.NowMs();
    Sarja1.Lahetys(ReadRequest(*station));
}

void StationConsole::TriggerClick() {
    if (Checking()) return;
    lastTrigger_ = NextSequenceNumber(lastTrigger_.value_or(1));
    Sarja1.Lahetys(TriggerFrame(*lastTrigger_));
}

// Every chunk is listed as a run would read it; a check's poll cycle takes
// it as its own.
void StationConsole::SarjaTulo(const std::string& chunk) {
    pending_ += chunk;
    Decode();
    if (cycle_) cycle_->SarjaTulo(chunk);
    Changed();
}

// Takes the good frames out of the pending bytes with the poll cycle's own
// search, listing what came before each as frames with a wrong checksum or
// bytes that form no frame. What may still grow into a frame stays pending.
void StationConsole::Decode() {
    for (;;) {
        std::string found = pending_;
        if (!HaeSanoma(found)) break;
        const std::size_t at = pending_.find(found);
        ListUnframed(std::string_view(pending_).substr(0, at));
        ListFrame(found, Verdict(found));
        pending_.erase(0, at + frame::kReplySize);
    }
    std::size_t undecided = 0;
    while (undecided < pending_.size()) {
        const bool mayStartFrame = pending_[undecided] == frame::STX &&
                                   undecided + frame::kReplySize > pending_.size() &&
                                   (undecided + 34 >= pending_.size() || pending_[undecided + 34] == frame::CR);
        if (mayStartFrame) break;
        ++undecided;
    }
    ListUnframed(std::string_view(pending_).substr(0, undecided));
    pending_.erase(0, undecided);
}

void StationConsole::ListUnframed(std::string_view bytes) {
    std::size_t from = 0;
    for (const std::size_t at : FramesWithWrongChecksum(bytes, 0)) {
        if (at < from) continue;  // inside the frame just listed
        if (at > from) List({SinceRequest() + "  no frame: " + DisplayText(bytes.substr(from, at - from)), ""});
        const std::string_view frame = bytes.substr(at, frame::kReplySize);
        ListFrame(frame, "not taken: checksum " + std::to_string(static_cast<std::uint8_t>(frame[35])) +
                             ", needs " +
                             std::to_string(static_cast<std::uint8_t>(LasCrC(frame.substr(0, 35)))));
        from = at + frame::kReplySize;
    }
    if (from < bytes.size()) List({SinceRequest() + "  no frame: " + DisplayText(bytes.substr(from)), ""});
}

void StationConsole::ListFrame(std::string_view frame, const std::string& verdict) {
    List({SinceRequest() + "  station " + StationOf(frame) + "  sequence " + DisplayText(frame.substr(3, 2)) +
              SequenceNote(frame) + "  " + verdict,
          ReadingsText(DecodeReadings(frame))});
}

// The verdict a run would give a good frame, with its reason.
std::string StationConsole::Verdict(std::string_view frame) const {
    if (!lastTrigger_ || ReplySequenceNumber(frame) != *lastTrigger_) return "not taken: sequence";
    const auto station = AddressedStation(frame);
    if (!station) return "not taken: address names no station";
    const ReplyReadings readings = DecodeReadings(frame);
    const CheckedReadings checked = CheckReadings(readings);
    if (checked.checkFailed) {
        const auto failure = ExplainReadingCheck(readings);
        return failure ? ModemError(*failure) : "modem error";
    }
    return "taken: " + ResultGroup(*station, checked.settled, checked.weight);
}

std::string StationConsole::SequenceNote(std::string_view frame) const {
    if (!lastTrigger_) return ", no trigger sent";
    if (ReplySequenceNumber(frame) == *lastTrigger_) return " = trigger";
    return ", trigger " + IntToHexText(*lastTrigger_, 2);
}

std::string StationConsole::SinceRequest() const {
    if (!lastRequestMs_) return "(no request)";
    std::string since = "+";
    since += std::to_string(loop_.NowMs() - *lastRequestMs_);
    return since + " ms";
}

void StationConsole::List(DecodedEntry entry) {
    decoded_.push_back(std::move(entry));
    if (decoded_.size() > kDecodedLimit) decoded_.pop_front();
}

void StationConsole::PollClick() {
    if (Checking()) return;
    tallies_ = {};
    checked_ = Ticked;
    cyclesDone_ = 0;
    noStation_ = 0;
    resultLines_.clear();
    StartCycle();
}

void StationConsole::StopClick() {
    afterCycle_.Disable();
    cycle_.reset();
}

// Each cycle is a weighing run of its own, as each scalepoll process is: a
// fresh form, so its station tables, try counts and sequence number start
// as a process's do.
void StationConsole::StartCycle() {
    TextOutput& resultLine = *this;
    PollObserver& verdicts = *this;
    cycle_ = std::make_unique<TForm1>(loop_, Sarja1, resultLine, verdicts);
    cycle_->OnClose = [this] { CycleClosed(); };
    for (int n = 1; n <= kStationCount; ++n)
        if (checked_[static_cast<std::size_t>(n - 1)]) cycle_->SelectStation(n);
    requestMs_ = {};
    checksumSearchFrom_ = 0;
    cycle_->PunnitusClick();
}

// The cycle's form closes inside its own handler: it is let go only once
// that has returned.
void StationConsole::CycleClosed() {
    for (int n = 1; n <= kStationCount; ++n)
        if (checked_[static_cast<std::size_t>(n - 1)] && cycle_->StationAt(n).requestState < 2) ++TallyOf(n).silent;
    ++cyclesDone_;
    afterCycle_.Enable();
}

void StationConsole::AfterCycle() {
    afterCycle_.Disable();
    cycle_.reset();
    if (Repeat) StartCycle();
    Changed();
}

void StationConsole::WriteAndFlush(std::string_view text) {
    resultLines_.push_back(std::string(text));
    if (resultLines_.size() > kResultLineLimit) resultLines_.pop_front();
}

void StationConsole::TriggerSending(std::int32_t sequenceNumber) {
    lastTrigger_ = sequenceNumber;
    Changed();
}

void StationConsole::RequestSending(int station, std::int32_t) {
    lastRequestMs_ = loop_.NowMs();
    requestMs_[static_cast<std::size_t>(station - 1)] = lastRequestMs_;
}

// Frames with a wrong checksum are found as the trace finds them: each once,
// from where the last search of the same buffer stopped.
void StationConsole::FrameSearch(std::string_view buffer) {
    for (const std::size_t at : FramesWithWrongChecksum(buffer, checksumSearchFrom_))
        if (const auto station = AddressedStation(buffer.substr(at, frame::kReplySize))) ++TallyOf(*station).checksum;
    if (buffer.size() >= frame::kReplySize) checksumSearchFrom_ = buffer.size() - frame::kReplySize + 1;
}

void StationConsole::BufferDropped(std::string_view) { checksumSearchFrom_ = 0; }

void StationConsole::OtherRunsReply(std::string_view frame, std::int32_t) {
    checksumSearchFrom_ = 0;
    if (const auto station = AddressedStation(frame)) ++TallyOf(*station).sequence;
}

void StationConsole::NoStationAddressed(std::string_view) {
    checksumSearchFrom_ = 0;
    ++noStation_;
}

void StationConsole::ReplyRecorded(int station, std::int32_t tryNumber, const ReplyReadings&, std::int32_t weight,
                                   bool, bool checkFailed) {
    checksumSearchFrom_ = 0;
    StationTally& tally = TallyOf(station);
    ++(tryNumber == 1 ? tally.firstTry : tally.laterTry);
    if (checkFailed) ++tally.modemErrors;
    if (const auto& askedMs = requestMs_[static_cast<std::size_t>(station - 1)])
        tally.answerMs.push_back(loop_.NowMs() - *askedMs);
    tally.lastWeight = weight;
}

std::vector<std::string> StationConsole::CheckTable() const {
    std::vector<std::string> table{
        Row("%-7s %5s %5s %6s %8s %8s %5s %7s %9s %8s", "station", "first", "later", "silent", "checksum", "sequence",
            "modem", "last ms", "median ms", "weight")};
    for (int n = 1; n <= kStationCount; ++n) {
        if (!checked_[static_cast<std::size_t>(n - 1)]) continue;
        const StationTally& t = Tally(n);
        const auto number = [](const auto& value) { return value ? std::to_string(*value) : std::string("-"); };
        const auto last = t.answerMs.empty() ? std::nullopt : std::optional(t.answerMs.back());
        const auto median = t.answerMs.empty() ? std::nullopt : std::optional(Median(t.answerMs));
        table.push_back(Row("%7d %5d %5d %6d %8d %8d %5d %7s %9s %8s", n, t.firstTry, t.laterTry, t.silent, t.checksum,
                            t.sequence, t.modemErrors, number(last).c_str(), number(median).c_str(),
                            number(t.lastWeight).c_str()));
    }
    return table;
}

std::string StationConsole::CheckState() const {
    std::string state;
    if (Checking()) state = "checking: cycle " + std::to_string(cyclesDone_ + 1) + (Repeat ? ", until stopped" : "");
    else if (cyclesDone_ > 0) state = "check done: " + std::to_string(cyclesDone_) + (cyclesDone_ == 1 ? " cycle" : " cycles");
    if (noStation_ > 0) state += (state.empty() ? "" : "; ") + std::to_string(noStation_) + " replies named no station";
    return state;
}

void StationConsole::Changed() {
    if (OnChange) OnChange();
}
