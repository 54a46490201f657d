// Sarja1_u: the serial-settings form TSarja1, the link front between the poll
// cycle and the serial port driver.
//
// AsetaComm turns the five setting texts into the driver's line settings and
// opens the port; Lahetys puts one frame on the line wrapped in fill bytes,
// with DTR lowered for the time of the write; SerialDriverReceiveData echoes
// every received chunk into the display text Tulo and hands the chunk,
// unchanged, to the poll cycle.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/EventLoop.h"
#include "platform/SerialPort.h"
#include "serial/Link.h"
#include "serial/SerialDrv.h"

// The readable form of received bytes: 33-126 as themselves, every other
// byte as "<" its decimal value ">", so 2, 65, 13 read "<2>A<13>".
std::string DisplayText(std::string_view bytes);

class TSarja1 final : public FrameLink {
public:
    TSarja1(EventLoop& loop, SerialPorts& ports);

    // Where received chunks go (the poll cycle); none until connected.
    void ConnectReceiver(ChunkReceiver& receiver) { receiver_ = &receiver; }

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

    TSerialDriver SerialDriver;

private:
    ChunkReceiver* receiver_ = nullptr;
};
