// The CP2102 (Silicon Labs, 10c4:ea60) as the cp210x driver sees it.
//  - Vendor requests to the device, 0xFF: the part number (0x370B) is 0x02,
//    the CP2102. The driver asks for it twice, the second time for two
//    bytes: a chip that gives one byte is taken for a counterfeit, and its
//    driver then never uses the chip's event insertion.
//  - Vendor requests to the interface, one per register: 0x00 enables the
//    UART, 0x1E sets the speed (a 32-bit number), 0x03 the line control
//    (data bits in bits 8-11; parity none, odd, even, mark, space in bits
//    4-7; stop bits 1, 1.5, 2 as 0, 1, 2 in bits 0-3), 0x07 the modem
//    control outputs (bit 0 DTR, bit 1 RTS, bits 8 and 9 say which to
//    change), 0x13/0x14 the flow control block, which carries DTR (bits
//    0-1 of its first word) and RTS (bits 6-7 of its second) too. 0x10
//    reads the communication status, whose out-queue count the driver's
//    wait-until-sent asks for until it is 0: the FIFO's true count here.
#include <cstring>
#include <map>

#include "tests/chip_model/ChipFamilies.h"
#include "tests/chip_model/ChipFamily.h"

namespace {

std::string LittleEndian32(std::uint32_t value) {
    std::string bytes;
    for (int k = 0; k < 4; ++k) bytes += static_cast<char>((value >> (8 * k)) & 0xFF);
    return bytes;
}

std::uint32_t ReadLittleEndian32(std::string_view bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < 4 && at + k < bytes.size(); ++k)
        value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + k])) << (8 * k);
    return value;
}

class Cp2102 : public ChipFamily {
public:
    UsbIdentity Identity() const override { return {0x10c4, 0xea60, 0x0100, false}; }

    ControlAnswer Control(const ControlRequest& request, std::string_view data, ModelledUart& uart) override {
        if (request.requestType == 0xC0 && request.request == 0xFF && request.value == 0x370B)
            return {false, std::string("\x02\x02", 2)};
        if (request.requestType == 0xC1) return Read(request.request, uart);
        if (request.requestType == 0x41) return Write(request, data, uart);
        return {true, {}};
    }

private:
    ControlAnswer Read(std::uint8_t request, ModelledUart& uart) {
        switch (request) {
            case 0x10:  // errors, hold reasons, in-queue, out-queue, three flags
                return {false, LittleEndian32(0) + LittleEndian32(0) + LittleEndian32(0) +
                                   LittleEndian32(static_cast<std::uint32_t>(uart.BytesQueued())) +
                                   std::string(3, '\0')};
            case 0x14: return {false, flow_};
            case 0x08: return {false, std::string(1, '\0')};
        }
        return {true, {}};
    }

    ControlAnswer Write(const ControlRequest& request, std::string_view data, ModelledUart& uart) {
        switch (request.request) {
            case 0x1E: line_.baud = NearestStandardBaud(ReadLittleEndian32(data, 0)); break;
            case 0x03: SetLineControl(request.value); break;
            case 0x07:
                if (request.value & 0x100) dtr_ = request.value & 1;
                if (request.value & 0x200) rts_ = request.value & 2;
                uart.SetModemLines(dtr_, rts_);
                return {};
            case 0x13:
                if (data.size() == 16) {
                    flow_ = std::string(data);
                    dtr_ = (ReadLittleEndian32(data, 0) & 3) == 1;
                    rts_ = ((ReadLittleEndian32(data, 4) >> 6) & 3) == 1;
                    uart.SetModemLines(dtr_, rts_);
                }
                return {};
            case 0x00: case 0x05: case 0x12: case 0x15: case 0x19: return {};
            default: return {true, {}};
        }
        uart.SetLine(line_);
        return {};
    }

    void SetLineControl(std::uint16_t bits) {
        line_.dataBits = (bits >> 8) & 0x0F;
        static const Parity parities[] = {Parity::None, Parity::Odd, Parity::Even, Parity::Mark, Parity::Space};
        const unsigned parity = (bits >> 4) & 0x0F;
        line_.parity = parity < 5 ? parities[parity] : Parity::None;
        line_.stopBits = (bits & 0x0F) == 2 ? 2 : 1;
    }

    LineSettings line_;
    bool dtr_ = false;
    bool rts_ = false;
    std::string flow_ = std::string(16, '\0');
};

}  // namespace

std::unique_ptr<ChipFamily> MakeCp2102() { return std::make_unique<Cp2102>(); }
