// How a USB serial chip family plugs into the chip model.
//
// The USB plumbing (the gadget, its endpoints, the control and bulk
// transfers) and the serial side (ModelledUart: line settings, transmit FIFO,
// the modelled wire, modem lines, stations) are the same for every chip. A
// family adds what makes its driver bind and talk to it:
//  - its USB identity: vendor and product ID, device version (the drivers
//    tell chip types apart by it), and whether it has an interrupt endpoint;
//  - its answers to the driver's control requests, through which it decodes
//    speed, framing and modem lines into the UART and reports what its chip
//    can tell (version, part number, transmit state);
//  - the packets it puts on its bulk IN endpoint: the stations' bytes, with
//    whatever status the chip adds, and how often it sends one when there
//    are no bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tests/chip_model/ModelledUart.h"

struct UsbIdentity {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint16_t deviceVersion = 0;
    bool interruptEndpoint = false;  // bulk IN and bulk OUT always
};

struct ControlRequest {
    std::uint8_t requestType = 0;  // direction, type and recipient, as on the bus
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;

    bool In() const { return (requestType & 0x80) != 0; }
};

// For an IN request, the bytes to send (cut to the request's length); the
// chip refuses a request it does not know with a stall.
struct ControlAnswer {
    bool stall = false;
    std::string data;
};

class ChipFamily {
public:
    virtual ~ChipFamily() = default;

    virtual UsbIdentity Identity() const = 0;
    // `data` holds an OUT request's data stage.
    virtual ControlAnswer Control(const ControlRequest& request, std::string_view data, ModelledUart& uart) = 0;
    // The bulk IN packet that carries `received`, which may be empty when a
    // period has passed; an empty packet is not sent.
    virtual std::string BulkInPacket(std::string_view received, ModelledUart&) { return std::string(received); }
    // How often a packet goes out with no bytes to carry; none for a chip
    // that sends only bytes.
    virtual std::optional<std::int64_t> BulkInPeriodUs() const { return std::nullopt; }
};

// "ch340", "pl2303", "cp2102", "ft232r" or "cdc-acm"; none for another name.
std::unique_ptr<ChipFamily> MakeChipFamily(std::string_view name);
