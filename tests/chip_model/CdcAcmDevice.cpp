#include "tests/chip_model/CdcAcmDevice.h"

#include <initializer_list>

#include "tests/chip_model/ChipFamilies.h"

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

void AddEndpoint(std::string& bytes, const Endpoint& endpoint) {
    AddBytes(bytes, {7, kEndpointDescriptor, endpoint.address, endpoint.attributes});
    AddWord(bytes, endpoint.maxPacket);
    AddBytes(bytes, {endpoint.intervalMs});
}

// The class descriptors cdc-acm's probe reads: the header (CDC 1.10), call
// management naming the data interface, the ACM descriptor whose capability
// bit 1 says the device takes line coding and control line state, and the
// union that pairs the two interfaces.
void AddClassDescriptors(std::string& bytes) {
    AddBytes(bytes, {5, kClassInterfaceDescriptor, 0x00, 0x10, 0x01});
    AddBytes(bytes, {5, kClassInterfaceDescriptor, 0x01, 0x00, kDataInterface});
    AddBytes(bytes, {4, kClassInterfaceDescriptor, 0x02, 0x02});
    AddBytes(bytes, {5, kClassInterfaceDescriptor, 0x06, kCommunicationInterface, kDataInterface});
}

std::string Configuration() {
    std::string body;
    AddInterface(body, kCommunicationInterface, 1, kCommunicationClass, kAbstractControlModel);
    AddClassDescriptors(body);
    AddEndpoint(body, kNotifications);
    AddInterface(body, kDataInterface, 2, kDataClass, 0);
    AddEndpoint(body, kBulkIn);
    AddEndpoint(body, kBulkOut);

    std::string configuration;
    AddBytes(configuration, {9, kConfigurationDescriptor});
    AddWord(configuration, static_cast<std::uint16_t>(9 + body.size()));
    // Two interfaces, configuration 1, no strings, bus-powered (bit 7 is
    // always set), 100 mA.
    AddBytes(configuration, {2, 1, 0, 0x80, 50});
    return configuration + body;
}

std::optional<Parity> ParityOf(std::uint8_t code) {
    switch (code) {
        case 0: return Parity::None;
        case 1: return Parity::Odd;
        case 2: return Parity::Even;
        case 3: return Parity::Mark;
        case 4: return Parity::Space;
        default: return std::nullopt;
    }
}

}  // namespace

std::string DeviceMessage(const UsbIdentity& identity) {
    std::string message(4, '\0');  // tag 0, host order
    // Only a full-speed configuration: gadgetfs then offers the device at
    // full speed alone.
    message += Configuration();
    // USB 2.00 (gadgetfs sets it anyway), the communication class at device
    // level, 64-byte control packets, no strings, one configuration.
    AddBytes(message, {18, kDeviceDescriptor});
    AddWord(message, 0x0200);
    AddBytes(message, {kCommunicationClass, 0, 0, 64});
    AddWord(message, identity.vendor);
    AddWord(message, identity.product);
    AddWord(message, identity.deviceVersion);
    AddBytes(message, {0, 0, 0, 1});
    return message;
}

std::string EndpointMessage(const Endpoint& endpoint) {
    std::string message{'\x01', '\0', '\0', '\0'};  // tag 1, host order
    AddEndpoint(message, endpoint);
    return message;
}

std::optional<LineSettings> DecodeLineCoding(std::string_view dataStage) {
    if (dataStage.size() != 7) return std::nullopt;
    const auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(dataStage[at]); };
    const std::optional<Parity> parity = ParityOf(byte(5));
    if (!parity || (byte(4) != 0 && byte(4) != 2) || byte(6) < 5 || byte(6) > 8) return std::nullopt;
    LineSettings line;
    line.baud = static_cast<std::uint32_t>(byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24);
    line.stopBits = byte(4) == 2 ? 2 : 1;
    line.parity = *parity;
    line.dataBits = byte(6);
    return line;
}

}  // namespace cdc_acm

namespace {

constexpr std::uint8_t kClassToInterface = 0x21;
constexpr std::uint8_t kClassFromInterface = 0xA1;
constexpr std::uint8_t kSetLineCoding = 0x20;
constexpr std::uint8_t kGetLineCoding = 0x21;
constexpr std::uint8_t kSetControlLineState = 0x22;

class CdcAcm : public ChipFamily {
public:
    // 0525:a4a7 is the ID Linux's own serial gadget gives its CDC-ACM
    // function; cdc-acm binds by the interface class and keeps no quirk for it.
    UsbIdentity Identity() const override { return {0x0525, 0xa4a7, 0x0100, true}; }

    ControlAnswer Control(const ControlRequest& request, std::string_view data, ModelledUart& uart) override {
        if (request.requestType == kClassToInterface && request.request == kSetLineCoding) {
            // A coding the UART cannot take leaves the line as it was; the
            // record of the frames shows it.
            if (const std::optional<LineSettings> line = cdc_acm::DecodeLineCoding(data)) {
                uart.SetLine(*line);
                lineCoding_ = data;
            }
            return {};
        }
        if (request.requestType == kClassFromInterface && request.request == kGetLineCoding)
            return {false, lineCoding_};
        if (request.requestType == kClassToInterface && request.request == kSetControlLineState) {
            uart.SetModemLines((request.value & 1) != 0, (request.value & 2) != 0);
            return {};
        }
        // SEND_BREAK included: the ACM descriptor does not claim it.
        return {true, {}};
    }

private:
    // As last set, for GET_LINE_CODING; 9600 8N1 until then.
    std::string lineCoding_{"\x80\x25\0\0\0\0\x08", 7};
};

}  // namespace

std::unique_ptr<ChipFamily> MakeCdcAcm() { return std::make_unique<CdcAcm>(); }
