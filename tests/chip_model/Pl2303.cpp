// The PL2303TA (Prolific, 067b:2303) as the pl2303 driver sees it. The
// driver tells the chip types apart by the device descriptor: USB 2.00 and
// device version 3.00 is a TA or a GT, and the TA answers the 1-byte
// vendor read of 0x8080, which the GT does not.
//  - Vendor requests to the device: 0x01 reads (0xC0) and writes (0x40) one
//    register, named by the value; the write's data is the index. The
//    driver pokes a fixed list of them at probe and open, reads to update
//    the flow control register, and gets back what it wrote.
//  - Class requests to the interface, as in CDC-ACM: 0x20 sets and 0x21
//    reads the line coding (speed as a 32-bit number, or a divisor when the
//    top bit is set; stop bits 0, 1, 2 for 1, 1.5, 2; parity none, odd,
//    even, mark, space; data bits), 0x22 sets the modem control outputs
//    (bit 0 DTR, bit 1 RTS), 0x23 sends a break.
// The chip has no way to tell its driver how much it still has to send.
#include <map>

#include "tests/chip_model/ChipFamilies.h"
#include "tests/chip_model/ChipFamily.h"

namespace {

class Pl2303 : public ChipFamily {
public:
    UsbIdentity Identity() const override { return {0x067b, 0x2303, 0x0300, true}; }

    ControlAnswer Control(const ControlRequest& request, std::string_view data, ModelledUart& uart) override {
        const int type = request.requestType;
        if (type == 0xC0 && request.request == 0x01)
            return {false, std::string(1, static_cast<char>(registers_[request.value & 0x7F]))};
        if (type == 0x40 && request.request == 0x01) {
            registers_[request.value & 0x7F] = static_cast<std::uint8_t>(request.index);
            return {};
        }
        if (type == 0x21 && request.request == 0x20 && data.size() == 7) {
            coding_ = std::string(data);
            uart.SetLine(Line());
            return {};
        }
        if (type == 0xA1 && request.request == 0x21) return {false, coding_};
        if (type == 0x21 && request.request == 0x22) {
            uart.SetModemLines((request.value & 1) != 0, (request.value & 2) != 0);
            return {};
        }
        if (type == 0x21 && request.request == 0x23) return {};
        return {true, {}};
    }

private:
    std::uint8_t Byte(std::size_t at) const { return static_cast<std::uint8_t>(coding_[at]); }

    LineSettings Line() const {
        LineSettings line;
        if (Byte(3) & 0x80) {
            // The TA's divisor: 12 MHz * 32 / mantissa, halved `exponent` times.
            const unsigned mantissa = Byte(0) | (Byte(1) & 0x07u) << 8;
            const unsigned exponent = ((Byte(1) >> 4) & 0x0Eu) | (Byte(2) & 1u);
            line.baud = NearestStandardBaud(384e6 / (mantissa == 0 ? 1 : mantissa) / (1u << exponent));
        } else {
            line.baud = Byte(0) | Byte(1) << 8 | Byte(2) << 16 | static_cast<std::uint32_t>(Byte(3)) << 24;
        }
        line.stopBits = Byte(4) == 2 ? 2 : 1;
        static const Parity parities[] = {Parity::None, Parity::Odd, Parity::Even, Parity::Mark, Parity::Space};
        line.parity = Byte(5) < 5 ? parities[Byte(5)] : Parity::None;
        line.dataBits = Byte(6);
        return line;
    }

    std::map<int, std::uint8_t> registers_;
    std::string coding_{"\x80\x25\x00\x00\x00\x00\x08", 7};  // 9600 8 None 1
};

}  // namespace

std::unique_ptr<ChipFamily> MakePl2303() { return std::make_unique<Pl2303>(); }
