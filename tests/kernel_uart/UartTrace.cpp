#include "tests/kernel_uart/UartTrace.h"

#include <cstdio>
#include <sstream>

namespace {

constexpr std::uint8_t kDataRegister = 0;   // transmit register, or the divisor's low byte
constexpr std::uint8_t kSecondRegister = 1;  // interrupt enable, or the divisor's high byte
constexpr std::uint8_t kLineControl = 3;
constexpr std::uint8_t kModemControl = 4;

// Line control register bits.
constexpr std::uint8_t kWordLength = 0x03;  // 5 to 8 data bits
constexpr std::uint8_t kTwoStopBits = 0x04;
constexpr std::uint8_t kParity = 0x08;
constexpr std::uint8_t kEvenParity = 0x10;
constexpr std::uint8_t kStickParity = 0x20;  // the parity bit constant: 0 with even, 1 with odd
constexpr std::uint8_t kDivisorAccess = 0x80;

struct Event {
    bool isWrite = false;
    std::uint8_t offset = 0;  // register offset of a write
    std::uint8_t value = 0;
    std::uint64_t baudRate = 0;  // of a parameters line
};

// One trace line as an event, or nothing for a line of another kind. The
// log lines may start with a process id and time stamp.
std::optional<Event> ReadEvent(const std::string& line) {
    unsigned offset = 0, value = 0;
    unsigned long long baudRate = 0;
    if (const auto write = line.find("serial_write "); write != std::string::npos) {
        if (std::sscanf(line.c_str() + write, "serial_write write addr 0x%x val 0x%x", &offset, &value) == 2)
            return Event{true, static_cast<std::uint8_t>(offset), static_cast<std::uint8_t>(value), 0};
    } else if (const auto parameters = line.find("serial_update_parameters "); parameters != std::string::npos) {
        if (std::sscanf(line.c_str() + parameters, "serial_update_parameters baudrate=%llu", &baudRate) == 1)
            return Event{false, 0, 0, baudRate};
    }
    return std::nullopt;
}

std::vector<Event> ReadEvents(std::string_view trace) {
    std::vector<Event> events;
    std::istringstream lines{std::string(trace)};
    for (std::string line; std::getline(lines, line);)
        if (const auto event = ReadEvent(line)) events.push_back(*event);
    return events;
}

// Where a console line lies among the events: the index of its first byte's
// write and the index just past its line end.
std::optional<std::pair<std::size_t, std::size_t>> FindLine(const std::vector<Event>& events, std::string_view line,
                                                           std::size_t from) {
    const std::string wanted = std::string(line) + "\r\n";
    std::string written;  // every data register write from `from` on, with its event index
    std::vector<std::size_t> indexes;
    for (std::size_t k = from; k < events.size(); ++k) {
        if (!events[k].isWrite || events[k].offset != kDataRegister) continue;
        written += static_cast<char>(events[k].value);
        indexes.push_back(k);
    }
    const auto at = written.find(wanted);
    if (at == std::string::npos) return std::nullopt;
    return std::make_pair(indexes[at], indexes[at + wanted.size() - 1] + 1);
}

class FrameCollector {
public:
    void Parameters(std::uint64_t baudRate) { baudRate_ = baudRate; }

    void Write(std::uint8_t offset, std::uint8_t value) {
        const bool divisorAccess = (lineControl_ & kDivisorAccess) != 0;
        if (offset == kLineControl) {
            lineControl_ = value;
        } else if (offset == kModemControl) {
            if (open_) frames_.back().modemControlAfter = value;
            open_ = false;
            modemControl_ = value;
        } else if (offset == kDataRegister && divisorAccess) {
            divisor_ = static_cast<std::uint16_t>((divisor_ & 0xFF00) | value);
        } else if (offset == kSecondRegister && divisorAccess) {
            divisor_ = static_cast<std::uint16_t>((divisor_ & 0x00FF) | (value << 8));
        } else if (offset == kDataRegister) {
            Transmit(static_cast<char>(value));
        }
    }

    std::vector<UartFrame> Frames() && { return std::move(frames_); }

private:
    void Transmit(char byte) {
        if (!open_) {
            frames_.push_back({{}, divisor_, lineControl_, baudRate_, modemControl_, std::nullopt});
            open_ = true;
        }
        frames_.back().bytes += byte;
    }

    std::vector<UartFrame> frames_;
    bool open_ = false;
    std::uint8_t lineControl_ = 0;
    std::uint8_t modemControl_ = 0;
    std::uint16_t divisor_ = 0;
    std::uint64_t baudRate_ = 0;
};

}  // namespace

std::string Framing(std::uint8_t lineControl) {
    const char* parity = "None";
    if (lineControl & kParity) {
        const bool even = (lineControl & kEvenParity) != 0;
        if (lineControl & kStickParity)
            parity = even ? "Space" : "Mark";
        else
            parity = even ? "Even" : "Odd";
    }
    return std::to_string(5 + (lineControl & kWordLength)) + " " + parity + " " +
           ((lineControl & kTwoStopBits) ? "2" : "1");
}

std::optional<std::vector<UartFrame>> FramesBetween(std::string_view trace, std::string_view startLine,
                                                    std::string_view endLine) {
    const std::vector<Event> events = ReadEvents(trace);
    const auto start = FindLine(events, startLine, 0);
    if (!start) return std::nullopt;
    const auto end = FindLine(events, endLine, start->second);
    if (!end) return std::nullopt;
    FrameCollector collector;
    for (std::size_t k = start->second; k < end->first; ++k) {
        if (events[k].isWrite)
            collector.Write(events[k].offset, events[k].value);
        else
            collector.Parameters(events[k].baudRate);
    }
    return std::move(collector).Frames();
}
