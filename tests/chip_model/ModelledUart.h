// The serial side of a modelled USB serial chip, shared by every chip family.
//
// How it works: the chip model decodes what the host's driver asks for and
// hands it here. The line settings (speed, data bits, parity, stop bits) give
// each byte its character time. Bytes from the driver's bulk OUT transfers
// enter a transmit FIFO and leave it onto a modelled wire one after another,
// each a character time after the one before it, or after it entered when
// the wire was idle. So at any moment the UART knows truthfully how many
// bytes are still on their way and whether its transmitter is empty, for the
// chips that can tell their driver so.
//
// Every DTR and RTS change is recorded against the wire's time. A frame is
// what enters the FIFO between DTR going low and DTR going up again; when DTR
// rises its record is written to the journal: its bytes, the line settings,
// how long after DTR went low its first byte entered, how long after its last
// stop bit left the wire DTR rose (negative: early), how many bytes were still
// in the FIFO then, and whether RTS was ever on. Times are the guest's
// monotonic clock, the one the driver and scalepoll see.
//
// A thread of its own plays the wire: each byte, once its last stop bit is
// out, goes to the modelled stations (the station simulator's logic), and
// their answers come back paced at the line's speed, for the chip to put on
// its bulk IN endpoint.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "tools/sim/LinePacer.h"
#include "tools/sim/Simulation.h"
#include "tools/sim/Station.h"

enum class Parity { None, Odd, Even, Mark, Space };

struct LineSettings {
    std::uint32_t baud = 9600;
    int dataBits = 8;
    Parity parity = Parity::None;
    int stopBits = 1;

    // Start bit, data bits, parity bit and stop bits, in microseconds.
    std::int64_t CharacterUs() const;
    // "9600 8 None 1", as scalepoll's command line gives them.
    std::string Text() const;
};

// The standard speed (300 to 115200) a chip's divisor comes nearest to, when
// within 3 %: the drivers give the nearest divisor a chip has, not the
// exact speed. Otherwise the speed itself, rounded.
std::uint32_t NearestStandardBaud(double baud);

// Microseconds on the guest's monotonic clock.
std::int64_t MonotonicUs();

class ModelledUart {
public:
    // `journal` takes one record a line; `stations` answer on the wire.
    ModelledUart(std::FILE* journal, std::map<int, StationScript> stations);
    ~ModelledUart();
    ModelledUart(const ModelledUart&) = delete;
    ModelledUart& operator=(const ModelledUart&) = delete;

    static constexpr std::size_t kFifoBytes = 256;

    void SetLine(const LineSettings& settings);
    LineSettings Line() const;
    void SetModemLines(bool dtr, bool rts);

    // Room left in the transmit FIFO; the chip takes no more than this.
    std::size_t FreeSpace() const;
    // Bytes the driver sent, entering the FIFO now. Returns the number of
    // the frame they belong to (counted from 1), 0 when DTR was up.
    int Transmit(std::string_view bytes);
    // Bytes not yet wholly on the wire: those in the FIFO and the one
    // being shifted out.
    std::size_t BytesQueued() const;
    bool TransmitterEmpty() const { return BytesQueued() == 0; }
    // The FIFO is empty, though the last byte may still be shifting out.
    bool HoldingRegisterEmpty() const;

    // The stations' bytes that have arrived, waiting at most until
    // `deadlineUs` for the first one; empty at the deadline or once stopped.
    std::string TakeReceived(std::int64_t deadlineUs);

    // The adapter is gone: the record says which frame was the last, how
    // many bytes the FIFO still held and whether DTR was still low; the
    // wire stops and every wait ends.
    void Pulled();

private:
    struct Byte {
        char value;
        std::int64_t leavesUs;  // its last stop bit is out
        std::int64_t startsUs;  // its start bit begins
    };
    struct Frame {
        int number = 0;
        std::string bytes;
        LineSettings line;
        std::int64_t dtrLowUs = 0;
        std::int64_t firstInUs = -1;
        std::int64_t lastOutUs = 0;
        bool rtsSeen = false;
    };

    void Wire();
    void CloseFrame(std::int64_t nowUs);
    std::size_t QueuedAt(std::int64_t nowUs) const;
    void Write(const std::string& record);

    std::FILE* journal_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    LineSettings line_;
    bool dtr_ = false;
    bool rts_ = false;
    std::deque<Byte> fifo_;  // until each byte has left the wire
    std::optional<Frame> frame_;
    int frames_ = 0;
    Simulation stations_;
    std::unique_ptr<LinePacer> answers_;
    std::string received_;
    bool stopped_ = false;
    std::thread wire_;
};
