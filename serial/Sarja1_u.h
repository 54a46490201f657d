// Sarja1_u: the serial-settings form TSarja1, the link front between the poll
// cycle and the serial port driver.
//
// AsetaComm turns the five setting texts into the driver's line settings and
// opens the port; Lahetys puts one frame on the line wrapped in fill bytes,
// with DTR lowered for the time of the write; SerialDriverReceiveData echoes
// every received chunk into the display text Tulo and hands the chunk,
// unchanged, to the poll cycle.
//
// The same form is the settings dialog a technician works with: five setting
// fields, each filled from its pick list; OK (BitBtn1Click) writes the
// settings file SARJA1.INI and applies the settings to the port; a test send
// (LahetaClick) puts a typed test text on the line. The form has no window of
// its own: a program that shows it draws these texts and flags, calls the
// handlers, and shows what arrives through OnMessage.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/SerialPort.h"
#include "serial/Link.h"
#include "serial/SerialDrv.h"

// The readable form of received bytes: 33-126 as themselves, every other
// byte as "<" its decimal value ">", so 2, 65, 13 read "<2>A<13>".
std::string DisplayText(std::string_view bytes);

// A drop-down list of choices and the text it shows.
struct TComboBox {
    std::vector<std::string> Items;
    std::string Text;
    // Shows item `index`; an index past the items changes nothing.
    void Select(std::size_t index);
};

// A pick list beside a setting field, hidden until the field is clicked.
struct TListBox {
    std::vector<std::string> Items;
    bool Visible = false;
};

class TSarja1 final : public FrameLink {
public:
    TSarja1(EventLoop& loop, SerialPorts& ports);

    // Where received chunks go (the poll cycle); none until connected.
    void ConnectReceiver(ChunkReceiver& receiver) { receiver_ = &receiver; }

    // Stores the five setting texts in command-line order (port, speed, data
    // bits, parity, stop bits), exactly as given; the first five of `texts`.
    void TakeSettings(const std::vector<std::string>& texts);
    // AsetaComm ("set port"): applies the setting texts and opens the port.
    void AsetaComm();
    // Lahetys ("sending"): three fill bytes, the frame, three fill bytes.
    void Lahetys(const std::string& frame) override;
    void SerialDriverReceiveData(TSerialDriver* Sender, const void* DataPtr, std::int32_t DataSize);

    // The setting texts, exactly as given: port, speed, data bits, parity, stop bits.
    std::string PorttiNo = "PorttiNo";
    std::string Nopeus = "Nopeus";
    std::string Data = "Data";
    std::string Pariteetti = "Pariteetti";
    std::string StopBitti = "StopBitti";
    // Display text of the bytes received since it was last cleared. Nothing in
    // a run reads it, so it keeps only its latest kTuloLimit characters.
    std::string Tulo = "Tulo";
    static constexpr std::size_t kTuloLimit = 64 * 1024;

    // The dialog. Clicking a setting field shows its pick list; picking an
    // item copies it into the field and hides the list. Picking changes only
    // texts: nothing reaches the port before BitBtn1Click.
    void NopeusClick() { ListaNop.Visible = true; }
    void DataClick() { ListData.Visible = true; }
    void PariteettiClick() { ListParity.Visible = true; }
    void StopBittiClick() { ListStop.Visible = true; }
    void ListaNopClick(std::size_t ItemIndex) { Pick(ListaNop, ItemIndex, Nopeus); }
    // Eight data bits always go without parity.
    void ListDataClick(std::size_t ItemIndex);
    void ListParityClick(std::size_t ItemIndex) { Pick(ListParity, ItemIndex, Pariteetti); }
    void ListStopClick(std::size_t ItemIndex) { Pick(ListStop, ItemIndex, StopBitti); }

    // OK: writes SARJA1.INI, takes the chosen port into PorttiNo, applies the
    // settings (AsetaComm) and closes the dialog. When the file cannot be
    // written, it says why and stops there: nothing applied, dialog open.
    void BitBtn1Click();
    // Cancel: closes the dialog, saving and applying nothing.
    void BitBtn2Click() { Visible = false; }
    // Laheta ("send"): the test send of LahData.
    void LahetaClick() { LahetaData(); }
    // LahData is read as pieces: after '&' text sent as it is, after '#'
    // decimal numbers sent as one byte each (their low 8 bits). Lahto
    // ("output") shows what went out; the bytes go out in one block.
    void LahetaData();
    // Nollaa ("clear"): empties the received-bytes display.
    void NollaaClick() { Tulo.clear(); }

    static constexpr const char* Caption = "Serial settings";
    static constexpr const char* LahDataLegend = "#=Desim.  &=Ascii";
    static constexpr const char* SettingsFileName = "SARJA1.INI";
    static constexpr const char* PortNotAvailable = " Port is not available !  ";

    TComboBox ComboBox1{{"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9", "COM10"},
                        "COM3"};
    TListBox ListaNop{{"300", "1200", "2400", "4800", "9600", "19200"}};
    TListBox ListData{{"7", "8"}};
    TListBox ListParity{{"None", "Even", "Odd", "Mark", "Space"}};
    TListBox ListStop{{"1", "2"}};
    // Written to the settings file after the stop bits; nothing changes it.
    std::string Testi = "Testi";
    // The test text, and the echo of the last test send.
    std::string LahData = "&at#10#13";
    std::string Lahto = "Lahto";
    bool Visible = false;
    // Shows a message to the user; messages are dropped while it is empty.
    std::function<void(const std::string& text)> OnMessage;

    TSerialDriver SerialDriver;

private:
    static void Pick(TListBox& list, std::size_t index, std::string& field);
    std::string SettingsFileText() const;
    void ShowMessage(const std::string& text);

    ChunkReceiver* receiver_ = nullptr;
};
