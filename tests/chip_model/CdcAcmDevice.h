// A CDC-ACM class adapter, as the many RS-485 converters with a
// microcontroller inside are: what it shows the host, in the shapes the
// kernel's gadgetfs takes them, and how it answers the class requests of the
// host's cdc-acm driver.
//
// The device is full speed, as such microcontrollers are: one configuration
// with a communication interface (its class descriptors and a notification
// endpoint) and a data interface with two bulk endpoints of 64-byte packets,
// which the modelled UART's FIFO takes whole. The class requests set the
// line (SET_LINE_CODING), read it back (GET_LINE_CODING) and set DTR and RTS
// (SET_CONTROL_LINE_STATE). The class has no request that tells the host
// whether the transmitter is empty, so cdc-acm's drain ends when the bulk
// transfer has reached the device.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tests/chip_model/ChipFamily.h"

namespace cdc_acm {

// An endpoint, on the device controller's endpoint of that number and kind
// (dummy_hcd names them "ep1in-bulk", "ep2out-bulk", "ep5in-int").
struct Endpoint {
    const char* file;  // its file under the gadgetfs mount
    std::uint8_t address;
    std::uint8_t attributes;  // 2 bulk, 3 interrupt
    std::uint16_t maxPacket;
    std::uint8_t intervalMs;
};

inline constexpr Endpoint kNotifications{"ep5in-int", 0x85, 3, 16, 32};
inline constexpr Endpoint kBulkIn{"ep1in-bulk", 0x81, 2, 64, 0};
inline constexpr Endpoint kBulkOut{"ep2out-bulk", 0x02, 2, 64, 0};

// gadgetfs's device message: tag 0, the configuration with everything in
// it, and the device descriptor.
std::string DeviceMessage(const UsbIdentity& identity);

// gadgetfs's endpoint message: tag 1 and the endpoint's descriptor.
std::string EndpointMessage(const Endpoint& endpoint);

// The line as SET_LINE_CODING carries it, 7 bytes: speed in bit/s (4 bytes,
// little-endian), stop bits (0 one, 1 one and a half, 2 two), parity (0
// none, 1 odd, 2 even, 3 mark, 4 space), data bits. Nothing for another
// length, or for a line the modelled UART has no such setting for (one and
// a half stop bits, data bits outside 5 to 8): cdc-acm sends neither.
std::optional<LineSettings> DecodeLineCoding(std::string_view dataStage);

}  // namespace cdc_acm
