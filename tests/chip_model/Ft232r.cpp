// The FT232R (FTDI, 0403:6001) as the ftdi_sio driver sees it: device
// version 6.00 makes it an FT232R, its one port channel 0. Every request is
// a vendor request to the device:
//  - 0x03 sets the speed: a divisor of 3 MHz with a fraction in eighths
//    (integer in bits 0-13 of the value, the fraction's code in bits 14-15
//    and bit 0 of the index); 0x04 the framing (data bits in bits 0-7,
//    parity none, odd, even, mark, space in bits 8-10, stop bits 1, 1.5, 2
//    in bits 11-13, break in bit 14); 0x01 the modem control outputs (bit 0
//    DTR, bit 1 RTS, the high byte says which to change);
//  - 0x05 reads the modem status: two bytes, the modem inputs and the line
//    status, whose transmitter-empty bit (TEMT, 0x40) the driver's
//    wait-until-sent asks for until it is set: true to the FIFO here;
//  - 0x09 and 0x0A set and read the latency timer: how often the chip sends
//    a bulk IN packet when it has nothing to send, every packet opening with
//    the same two status bytes;
//  - 0x90 reads the EEPROM (the driver looks there for the CBUS pins' use),
//    0x00 resets, 0x02 sets flow control, 0x06 and 0x07 the event and error
//    characters.
#include <map>

#include "tests/chip_model/ChipFamilies.h"
#include "tests/chip_model/ChipFamily.h"

namespace {

constexpr std::uint8_t kHoldingRegisterEmpty = 0x20, kTransmitterEmpty = 0x40;

class Ft232r : public ChipFamily {
public:
    UsbIdentity Identity() const override { return {0x0403, 0x6001, 0x0600, false}; }

    ControlAnswer Control(const ControlRequest& request, std::string_view, ModelledUart& uart) override {
        if (request.requestType == 0xC0) {
            switch (request.request) {
                case 0x05: return {false, Status(uart)};
                case 0x0A: return {false, std::string(1, static_cast<char>(latencyMs_))};
                case 0x90: return {false, std::string(2, '\0')};
            }
            return {true, {}};
        }
        if (request.requestType != 0x40) return {true, {}};
        switch (request.request) {
            case 0x01:
                if (request.value & 0x100) dtr_ = request.value & 1;
                if (request.value & 0x200) rts_ = request.value & 2;
                uart.SetModemLines(dtr_, rts_);
                return {};
            case 0x03: SetSpeed(request.value, request.index); break;
            case 0x04: SetFraming(request.value); break;
            case 0x09: latencyMs_ = static_cast<std::uint8_t>(request.value & 0xFF); return {};
            case 0x00: case 0x02: case 0x06: case 0x07: return {};
            default: return {true, {}};
        }
        uart.SetLine(line_);
        return {};
    }

    std::string BulkInPacket(std::string_view received, ModelledUart& uart) override {
        return Status(uart) + std::string(received);
    }

    std::optional<std::int64_t> BulkInPeriodUs() const override { return std::max(1, int{latencyMs_}) * 1000; }

private:
    // Bit 0 of the modem status byte is always set; no modem input is active.
    static std::string Status(ModelledUart& uart) {
        std::uint8_t line = 0;
        if (uart.HoldingRegisterEmpty()) line |= kHoldingRegisterEmpty;
        if (uart.TransmitterEmpty()) line |= kTransmitterEmpty;
        return {0x01, static_cast<char>(line)};
    }

    void SetSpeed(std::uint16_t value, std::uint16_t index) {
        static const int eighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};  // by the fraction's code
        const unsigned code = (value >> 14) | (index & 1u) << 2;
        const unsigned whole = value & 0x3FFFu;
        const unsigned divisorEighths = whole * 8 + static_cast<unsigned>(eighths[code]);
        if (whole == 0 && code == 0) line_.baud = 3'000'000;
        else if (whole == 1 && code == 0) line_.baud = 2'000'000;
        else line_.baud = NearestStandardBaud(24e6 / divisorEighths);
    }

    void SetFraming(std::uint16_t value) {
        line_.dataBits = value & 0xFF;
        static const Parity parities[] = {Parity::None, Parity::Odd, Parity::Even, Parity::Mark, Parity::Space};
        const unsigned parity = (value >> 8) & 7;
        line_.parity = parity < 5 ? parities[parity] : Parity::None;
        line_.stopBits = ((value >> 11) & 3) == 2 ? 2 : 1;
    }

    LineSettings line_;
    bool dtr_ = false;
    bool rts_ = false;
    std::uint8_t latencyMs_ = 16;
};

}  // namespace

std::unique_ptr<ChipFamily> MakeFt232r() { return std::make_unique<Ft232r>(); }
