#include "tests/chip_model/CdcAcmDevice.h"

namespace cdc_acm {
namespace {

constexpr std::uint8_t kDeviceDescriptor = 1;
constexpr std::uint8_t kConfigurationDescriptor = 2;
constexpr std::uint8_t kInterfaceDescriptor = 4;
constexpr std::uint8_t kEndpointDescriptor = 5;
constexpr std::uint8_t kClassInterfaceDescriptor = 0x24;
constexpr std::uint8_t kCommunicationClass = 0x02;
constexpr std::uint8_t kAbstractControlModel = 0x02;
constexpr std::uint8_t kDataClass = 0x0A;
constexpr std::uint8_t kCommunicationInterface = 0;
constexpr std::uint8_t kDataInterface = 1;

void AddWord(std::string& bytes, std::uint16_t word) {
    bytes += static_cast<char>(word & 0xFF);
    bytes += static_cast<char>(word >> 8);
}

void AddBytes(std::string& bytes, std::initializer_list<std::uint8_t> values) {
    for (std::uint8_t value : values) bytes += static_cast<char>(value);
}

void AddInterface(std::string& bytes, std::uint8_t number, std::uint8_t endpoints, std::uint8_t interfaceClass,
                  std::uint8_t subclass) {
    AddBytes(bytes, {9, kInterfaceDescriptor, number, 0, endpoints, interfaceClass, subclass, 0, 0});
}

void AddEndpoint(std::string& bytes, const Endpoint& endpoint, bool highSpeed) {
    AddBytes(bytes, {7, kEndpointDescriptor, endpoint.address, endpoint.attributes});
    AddWord(bytes, highSpeed ? endpoint.highSpeedMaxPacket : endpoint.fullSpeedMaxPacket);
    AddBytes(bytes, {highSpeed ? endpoint.highSpeedInterval : endpoint.fullSpeedInterval});
}

// The class descriptors cdc-acm's probe reads: the header (CDC 1.10), call
// management pointing at the data interface, the ACM descriptor whose
// capability bit 1 says the device takes line coding and control line state,
// and the union that pairs the two interfaces.
void AddClassDescriptors(std::string& bytes) {
    AddBytes(bytes, {5, kClassInterfaceDescriptor, 0x00, 0x10, 0x01});
    AddBytes(bytes, {5, kClassInterfaceDescriptor, 0x01, 0x00, kDataInterface});
    AddBytes(bytes, {4, kClassInterfaceDescriptor, 0x02, 0x02});
    AddBytes(bytes, {5, kClassInterfaceDescriptor, 0x06, kCommunicationInterface, kDataInterface});
}

std::string Configuration(bool highSpeed) {
    std::string body;
    AddInterface(body, kCommunicationInterface, 1, kCommunicationClass, kAbstractControlModel);
    AddClassDescriptors(body);
    AddEndpoint(body, kNotifications, highSpeed);
    AddInterface(body, kDataInterface, 2, kDataClass, 0);
    AddEndpoint(body, kBulkIn, highSpeed);
    AddEndpoint(body, kBulkOut, highSpeed);

    std::string configuration;
    AddBytes(configuration, {9, kConfigurationDescriptor});
    AddWord(configuration, static_cast<std::uint16_t>(9 + body.size()));
    // Two interfaces, configuration 1, no strings, bus-powered (bit 7 is
    // always set), 100 mA.
    AddBytes(configuration, {2, 1, 0, 0x80, 50});
    return configuration + body;
}

}  // namespace

std::string DeviceMessage(std::uint16_t vendor, std::uint16_t product) {
    std::string message(4, '\0');  // tag 0, host order
    message += Configuration(false);
    message += Configuration(true);
    // USB 2.00, the communication class at device level, 64-byte control
    // packets, device version 1.00, no strings, one configuration.
    AddBytes(message, {18, kDeviceDescriptor});
    AddWord(message, 0x0200);
    AddBytes(message, {kCommunicationClass, 0, 0, 64});
    AddWord(message, vendor);
    AddWord(message, product);
    AddWord(message, 0x0100);
    AddBytes(message, {0, 0, 0, 1});
    return message;
}

std::string EndpointMessage(const Endpoint& endpoint) {
    std::string message{'\x01', '\0', '\0', '\0'};  // tag 1, host order
    AddEndpoint(message, endpoint, false);
    AddEndpoint(message, endpoint, true);
    return message;
}

std::optional<LineCoding> DecodeLineCoding(std::string_view dataStage) {
    if (dataStage.size() != kLineCodingSize) return std::nullopt;
    const auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(dataStage[at]); };
    LineCoding coding;
    coding.speed = static_cast<std::uint32_t>(byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24);
    coding.stopBitsCode = byte(4);
    coding.parityCode = byte(5);
    coding.dataBits = byte(6);
    return coding;
}

std::string EncodeLineCoding(const LineCoding& coding) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(coding.speed >> shift & 0xFF);
    AddBytes(bytes, {coding.stopBitsCode, coding.parityCode, coding.dataBits});
    return bytes;
}

ControlLines DecodeControlLines(std::uint16_t value) { return {(value & 1) != 0, (value & 2) != 0}; }

}  // namespace cdc_acm
