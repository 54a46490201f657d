// Sarja1_u: the serial-settings form TSarja1, the link front between the poll
// cycle and the serial line. It holds the five setting texts as the command
// line gave them and puts frames on the line.
#pragma once

#include <string>

#include "serial/Link.h"

class TSarja1 final : public FrameLink {
public:
    // The setting texts, exactly as given: port, speed, data bits, parity, stop bits.
    std::string PorttiNo = "PorttiNo";
    std::string Nopeus = "Nopeus";
    std::string Data = "Data";
    std::string Pariteetti = "Pariteetti";
    std::string StopBitti = "StopBitti";

    // AsetaComm ("set port"): applies the setting texts and opens the port.
    void AsetaComm();
    void Lahetys(const std::string& frame) override;
};
