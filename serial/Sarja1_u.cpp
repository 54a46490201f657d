#include "serial/Sarja1_u.h"

#include <optional>
#include <utility>

#include "platform/Files.h"
#include "text/WholeNumber.h"

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

// The settings file keeps the parity as its place in the pick list, which is
// not the driver's order.
constexpr std::pair<const char*, char> kParityCodes[] = {
    {"None", '0'}, {"Even", '1'}, {"Odd", '2'}, {"Mark", '3'}, {"Space", '4'}};

// A test text taken apart: the bytes for the line and their echo, or the
// decimal piece that is no number.
struct TestSend {
    std::string bytes;
    std::string echo;
    std::optional<std::string> badNumber;
};

enum class PieceMode { None, Decimal, Text };

// Adds one finished piece; false when a decimal piece is no number.
bool AddPiece(PieceMode mode, const std::string& piece, TestSend& send) {
    if (mode == PieceMode::Text) {
        send.bytes += piece;
        send.echo += piece;
        return true;
    }
    const auto value = ParseWholeNumber(piece);
    if (!value) return false;
    send.bytes += static_cast<char>(*value & 0xFF);
    send.echo += "<" + piece + ">";
    return true;
}

// A piece ends at the next '#' or '&' or at the end of the text. Characters
// before the first marker have no mode yet: they stay and begin the first
// piece that has one, so when that marker ends the text they are never sent.
TestSend ReadTestText(std::string_view text) {
    TestSend send;
    std::string piece;
    PieceMode mode = PieceMode::None;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool marker = c == '#' || c == '&';
        if (!marker) piece += c;
        const bool pieceEnds = marker || i + 1 == text.size();
        if (pieceEnds && !piece.empty() && mode != PieceMode::None) {
            if (!AddPiece(mode, piece, send)) {
                send.badNumber = piece;
                return send;
            }
            piece.clear();
        }
        if (marker) mode = c == '#' ? PieceMode::Decimal : PieceMode::Text;
    }
    return send;
}

}  // namespace

std::string DisplayText(std::string_view bytes) {
    std::string text;
    for (char ch : bytes) {
        const auto code = static_cast<std::uint8_t>(ch);
        if (code >= 33 && code <= 126) text += ch;
        else text.append(1, '<').append(std::to_string(code)).append(1, '>');  // not "<" + ...: GCC 12 bug 105329
    }
    return text;
}

void TComboBox::Select(std::size_t index) {
    if (index < Items.size()) Text = Items[index];
}

TSarja1::TSarja1(EventLoop& loop, SerialPorts& ports) : SerialDriver(loop, ports) {
    SerialDriver.OnReceiveData = [this](TSerialDriver* sender, const void* data, std::int32_t size) {
        SerialDriverReceiveData(sender, data, size);
    };
}

void TSarja1::TakeSettings(const std::vector<std::string>& texts) {
    PorttiNo = texts.at(0);
    Nopeus = texts.at(1);
    Data = texts.at(2);
    Pariteetti = texts.at(3);
    StopBitti = texts.at(4);
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
    // DTR may key a radio modem or an RS-485 transmitter: it goes up only
    // once the frame's last bit is on the line, not when the bytes are queued.
    SerialDriver.DrainOutput();
    SerialDriver.SetDTR(true);
}

void TSarja1::SerialDriverReceiveData(TSerialDriver*, const void* DataPtr, std::int32_t DataSize) {
    const std::string chunk(static_cast<const char*>(DataPtr), static_cast<std::size_t>(DataSize));
    Tulo += DisplayText(chunk);
    if (Tulo.size() > kTuloLimit) Tulo.erase(0, Tulo.size() - kTuloLimit);
    if (receiver_ != nullptr) receiver_->SarjaTulo(chunk);
}

void TSarja1::Pick(TListBox& list, std::size_t index, std::string& field) {
    if (index >= list.Items.size()) return;
    field = list.Items[index];
    list.Visible = false;
}

void TSarja1::ListDataClick(std::size_t ItemIndex) {
    Pick(ListData, ItemIndex, Data);
    if (Data == "8") Pariteetti = "None";
}

std::string TSarja1::SettingsFileText() const {
    std::string text;
    const auto line = [&text](const std::string& value) { text += value + "\r\n"; };
    line(ComboBox1.Text);
    line(Nopeus);
    line(Data);
    if (const auto code = Lookup(kParityCodes, Pariteetti)) line(std::string(1, *code));
    line(StopBitti);
    line(Testi);
    return text;
}

void TSarja1::BitBtn1Click() {
    if (const auto reason = WriteWholeFile(SettingsFileName, SettingsFileText())) {
        ShowMessage(std::string("Cannot write ") + SettingsFileName + ": " + *reason);
        return;
    }
    PorttiNo = ComboBox1.Text;
    AsetaComm();
    if (!SerialDriver.OpenPort()) ShowMessage(PortNotAvailable);
    Visible = false;
}

void TSarja1::LahetaData() {
    const TestSend send = ReadTestText(LahData);
    if (send.badNumber) {
        ShowMessage("'" + *send.badNumber + "' is not a valid number");
        return;
    }
    Lahto = send.echo;
    SerialDriver.SendBlock(send.bytes.data(), static_cast<std::int32_t>(send.bytes.size()));
}

void TSarja1::ShowMessage(const std::string& text) {
    if (OnMessage) OnMessage(text);
}
