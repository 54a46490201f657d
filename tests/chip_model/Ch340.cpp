// The CH340 (WCH, 1a86:7523) as the ch341 driver sees it. Every request is a
// vendor request to the device:
//  - 0x5F reads the chip's version; ch341 sends data bits, parity and stop
//    bits only to version 0x30 or later, so this one says 0x31;
//  - 0xA1 initialises the serial side;
//  - 0x9A writes two registers at once (the value names them, low byte
//    first; the index holds their new contents, low byte first), 0x95 reads
//    two: 0x12 is the prescaler, 0x13 the divisor, 0x18 the line control,
//    0x06 the modem status inputs (inverted), 0x05 the break control;
//  - 0xA4 sets the modem control outputs, inverted: bit 5 DTR, bit 6 RTS.
// The chip has no way to tell its driver how much it still has to send.
#include <map>

#include "tests/chip_model/ChipFamily.h"
#include "tests/chip_model/ChipFamilies.h"

namespace {

constexpr std::uint8_t kVersion = 0x31;
constexpr std::uint8_t kPrescaler = 0x12, kDivisor = 0x13, kLineControl = 0x18;

class Ch340 : public ChipFamily {
public:
    UsbIdentity Identity() const override { return {0x1a86, 0x7523, 0x0264, true}; }

    ControlAnswer Control(const ControlRequest& request, std::string_view, ModelledUart& uart) override {
        switch (request.request) {
            case 0x5F: return {false, {static_cast<char>(kVersion), 0}};
            case 0xA1: return {};
            case 0x9A:
                registers_[request.value & 0xFF] = static_cast<std::uint8_t>(request.index & 0xFF);
                registers_[request.value >> 8] = static_cast<std::uint8_t>(request.index >> 8);
                uart.SetLine(Line());
                return {};
            case 0x95:
                return {false, {static_cast<char>(registers_[request.value & 0xFF]),
                                static_cast<char>(registers_[request.value >> 8])}};
            case 0xA4:
                uart.SetModemLines((request.value & 0x20) == 0, (request.value & 0x40) == 0);
                return {};
        }
        return {true, {}};
    }

private:
    // speed = 48 MHz / (2^(12 - 3 * prescale - factor) * divisor)
    LineSettings Line() {
        LineSettings line;
        const int prescale = registers_[kPrescaler] & 3;
        const int factor = (registers_[kPrescaler] >> 2) & 1;
        const int divisor = 0x100 - registers_[kDivisor];
        line.baud = NearestStandardBaud(48e6 / ((1 << (12 - 3 * prescale - factor)) * divisor));
        const std::uint8_t control = registers_[kLineControl];
        line.dataBits = 5 + (control & 3);
        line.stopBits = (control & 0x04) ? 2 : 1;
        if (control & 0x08) {
            const bool even = control & 0x10;
            if (control & 0x20) line.parity = even ? Parity::Space : Parity::Mark;
            else line.parity = even ? Parity::Even : Parity::Odd;
        }
        return line;
    }

    // Version 0x30 and later power up at 9600 baud, 8 data bits; the modem
    // status inputs read as inactive.
    std::map<int, std::uint8_t> registers_{{kPrescaler, 0x82}, {kDivisor, 0xB2}, {kLineControl, 0xC3},
                                           {0x06, 0xFF}, {0x07, 0xEE}, {0x05, 0x01}};
};

}  // namespace

std::unique_ptr<ChipFamily> MakeCh340() { return std::make_unique<Ch340>(); }
