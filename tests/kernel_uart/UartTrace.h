// What the guest's UART was told, read back from QEMU's trace of its register
// writes (trace events serial_write and serial_update_parameters): the frames
// written to the transmit register, each with the framing, divisor and modem
// control lines in force as it went out.
//
// The trace does not say which UART a write went to, so only the stretch
// between two lines the guest prints on its console is read: the console is
// silent in between, so every write there belongs to the one UART the runs use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Modem control register bits.
constexpr std::uint8_t kDtr = 0x01;
constexpr std::uint8_t kRts = 0x02;

struct UartFrame {
    std::string bytes;              // transmit register writes with no modem control write among them
    std::uint16_t divisor = 0;      // in force when the first byte was written
    std::uint8_t lineControl = 0;   // in force then
    std::uint64_t baudRate = 0;     // QEMU's own reading of the settings then
    std::uint8_t modemControl = 0;  // while the bytes were written
    std::optional<std::uint8_t> modemControlAfter;  // the first modem control write after the last byte
};

// The framing a line control register value sets, in scalepoll's terms:
// data bits, parity, stop bits ("8 None 1", "7 Mark 2").
std::string Framing(std::uint8_t lineControl);

// The frames between the console lines `startLine` and `endLine` (each
// written to the console's transmit register and ended with CR LF), or
// nothing when either line is not in the trace.
std::optional<std::vector<UartFrame>> FramesBetween(std::string_view trace, std::string_view startLine,
                                                    std::string_view endLine);
