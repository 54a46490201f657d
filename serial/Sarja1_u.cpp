#include "serial/Sarja1_u.h"

#include <optional>
#include <utility>

namespace {

constexpr char kFill = '\xFF';
constexpr std::size_t kFillCount = 3;

// The exact, case-sensitive texts each setting recognises.
template <typename Value, std::size_t N>
std::optional<Value> Lookup(const std::pair<const char*, Value> (&table)[N], const std::string& text) {
    for (const auto& [name, value] : table)
        if (text == name) return value;
    return std::nullopt;
}

constexpr std::pair<const char*, TPortNumber> kPorts[] = {
    {"COM1", pnCOM1}, {"COM2", pnCOM2}, {"COM3", pnCOM3}, {"COM4", pnCOM4}};
constexpr std::pair<const char*, TPortBaudRate> kSpeeds[] = {
    {"300", br300},   {"600", br600},   {"1200", br1200},  {"2400", br2400},
    {"4800", br4800}, {"9600", br9600}, {"19200", br19200}};
constexpr std::pair<const char*, TPortDataBits> kDataBits[] = {{"7", db7BITS}, {"8", db8BITS}};
constexpr std::pair<const char*, TPortParity> kParities[] = {
    {"None", ptNONE}, {"Even", ptEVEN}, {"Odd", ptODD}, {"Mark", ptMARK}, {"Space", ptSPACE}};
constexpr std::pair<const char*, TPortStopBits> kStopBits[] = {{"1", sb1BITS}, {"2", sb2BITS}};

}  // namespace

std::string DisplayText(std::string_view bytes) {
    std::string text;
    for (char ch : bytes) {
        const auto code = static_cast<std::uint8_t>(ch);
        if (code >= 33 && code <= 126) text += ch;
        else text += "<" + std::to_string(code) + ">";
    }
    return text;
}

TSarja1::TSarja1(EventLoop& loop, SerialPorts& ports) : SerialDriver(loop, ports) {
    SerialDriver.OnReceiveData = [this](TSerialDriver* sender, const void* data, std::int32_t size) {
        SerialDriverReceiveData(sender, data, size);
    };
}

void TSarja1::AsetaComm() {
    SerialDriver.ClosePort();
    if (const auto port = Lookup(kPorts, PorttiNo)) SerialDriver.SetComPort(*port);
    if (const auto speed = Lookup(kSpeeds, Nopeus)) SerialDriver.SetComPortSpeed(*speed);
    if (const auto dataBits = Lookup(kDataBits, Data)) SerialDriver.SetComPortDataBits(*dataBits);
    if (const auto parity = Lookup(kParities, Pariteetti)) SerialDriver.SetComPortParity(*parity);
    if (const auto stopBits = Lookup(kStopBits, StopBitti)) SerialDriver.SetComPortStopBits(*stopBits);
    SerialDriver.SetComPortHwHandshaking(hhNONE);
    SerialDriver.SetComPortSwHandshaking(shNONE);
    SerialDriver.OpenPort();
}

void TSarja1::Lahetys(const std::string& frame) {
    const std::string bytes = std::string(kFillCount, kFill) + frame + std::string(kFillCount, kFill);
    SerialDriver.SetDTR(false);
    SerialDriver.SendBlock(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    SerialDriver.SetDTR(true);
}

void TSarja1::SerialDriverReceiveData(TSerialDriver*, const void* DataPtr, std::int32_t DataSize) {
    const std::string chunk(static_cast<const char*>(DataPtr), static_cast<std::size_t>(DataSize));
    Tulo += DisplayText(chunk);
    if (Tulo.size() > kTuloLimit) Tulo.erase(0, Tulo.size() - kTuloLimit);
    if (receiver_ != nullptr) receiver_->SarjaTulo(chunk);
}
