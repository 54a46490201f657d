// What a CDC-ACM class adapter shows the host, in the shapes the kernel's
// gadgetfs takes them: the whole device's descriptors (one configuration, at
// full and at high speed: a communication interface with its class
// descriptors and notification endpoint, a data interface with two bulk
// endpoints), each endpoint's own descriptors, and the class requests the
// host's cdc-acm driver sends to set the line and its modem lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cdc_acm {

// The endpoints, each on the device controller's endpoint of that number
// and kind (dummy_hcd names them "ep1in-bulk", "ep2out-bulk", "ep5in-int").
struct Endpoint {
    const char* file;  // its file under the gadgetfs mount
    std::uint8_t address;
    std::uint8_t attributes;  // 2 bulk, 3 interrupt
    std::uint16_t fullSpeedMaxPacket;
    std::uint16_t highSpeedMaxPacket;
    std::uint8_t fullSpeedInterval;
    std::uint8_t highSpeedInterval;
};

inline constexpr Endpoint kNotifications{"ep5in-int", 0x85, 3, 16, 16, 32, 9};  // 32 ms at either speed
inline constexpr Endpoint kBulkIn{"ep1in-bulk", 0x81, 2, 64, 512, 0, 0};
inline constexpr Endpoint kBulkOut{"ep2out-bulk", 0x02, 2, 64, 512, 0, 0};

// gadgetfs's device message: tag 0, the full-speed configuration, the
// high-speed configuration and the device descriptor.
std::string DeviceMessage(std::uint16_t vendor, std::uint16_t product);

// gadgetfs's endpoint message: tag 1, the full-speed and the high-speed
// endpoint descriptor.
std::string EndpointMessage(const Endpoint& endpoint);

// The class requests cdc-acm sends to the communication interface.
inline constexpr std::uint8_t kSetLineCoding = 0x20;
inline constexpr std::uint8_t kGetLineCoding = 0x21;
inline constexpr std::uint8_t kSetControlLineState = 0x22;
inline constexpr std::uint8_t kSendBreak = 0x23;
inline constexpr std::size_t kLineCodingSize = 7;

// The line as SET_LINE_CODING carries it: speed in bit/s, stop bits code
// (0 one, 1 one and a half, 2 two), parity code (0 none, 1 odd, 2 even,
// 3 mark, 4 space) and data bits.
struct LineCoding {
    std::uint32_t speed = 0;
    std::uint8_t stopBitsCode = 0;
    std::uint8_t parityCode = 0;
    std::uint8_t dataBits = 0;
};

// Nothing when the data stage is not the structure's 7 bytes.
std::optional<LineCoding> DecodeLineCoding(std::string_view dataStage);
std::string EncodeLineCoding(const LineCoding& coding);

// SET_CONTROL_LINE_STATE's value: DTR is bit 0, RTS bit 1.
struct ControlLines {
    bool dtr = false;
    bool rts = false;
};
ControlLines DecodeControlLines(std::uint16_t value);

}  // namespace cdc_acm
