#include "platform/posix/Termios.h"

#include <cstdlib>

namespace {

std::optional<speed_t> SpeedConstant(std::uint32_t baudRate) {
    switch (baudRate) {
        case 110: return B110;
        case 300: return B300;
        case 600: return B600;
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        default: return std::nullopt;
    }
}

tcflag_t DataBits(std::uint8_t byteSize) {
    switch (byteSize) {
        case 5: return CS5;
        case 6: return CS6;
        case 7: return CS7;
        default: return CS8;
    }
}

// Mark and space parity are the odd and even parity bits made constant
// (CMSPAR): PARODD then sends a one, no PARODD a zero.
tcflag_t ParityBits(std::uint8_t parity) {
    switch (parity) {
        case 1: return PARENB | PARODD;
        case 2: return PARENB;
        case 3: return PARENB | CMSPAR | PARODD;
        case 4: return PARENB | CMSPAR;
        default: return 0;
    }
}

// termios knows one or two stop bits only; one and a half gets two, the
// closest it has.
tcflag_t StopBits(std::uint8_t stopBits) { return stopBits == 0 ? 0 : CSTOPB; }

void MakeRaw(termios& settings) {
    settings.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF | IXANY |
                          INPCK);
    settings.c_oflag &= ~OPOST;  // no output processing at all, so no ONLCR either
    settings.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
}

void SetFlowControl(termios& settings, const CommState& state) {
    if (state.rtsCtsHandshake) settings.c_cflag |= CRTSCTS;
    if (!state.xonXoff) return;
    settings.c_iflag |= IXON | IXOFF;
    settings.c_cc[VSTART] = static_cast<cc_t>(state.xonChar);
    settings.c_cc[VSTOP] = static_cast<cc_t>(state.xoffChar);
}

}  // namespace

termios LineSettings(const termios& current, const CommState& state) {
    termios settings = current;
    MakeRaw(settings);
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
    settings.c_cflag |= CLOCAL | CREAD | DataBits(state.byteSize) | ParityBits(state.parity) | StopBits(state.stopBits);
    SetFlowControl(settings, state);
    if (const auto speed = SpeedConstant(state.baudRate)) cfsetspeed(&settings, *speed);
    return settings;
}

CommState SettingsInForce(const termios& settings) {
    CommState state;
    state.baudRate = 0;
    for (const std::uint32_t rate : {110u, 300u, 600u, 1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u})
        if (SpeedConstant(rate) == cfgetospeed(&settings)) state.baudRate = rate;
    switch (settings.c_cflag & CSIZE) {
        case CS5: state.byteSize = 5; break;
        case CS6: state.byteSize = 6; break;
        case CS7: state.byteSize = 7; break;
        default: state.byteSize = 8; break;
    }
    const tcflag_t parity = settings.c_cflag & (PARENB | PARODD | CMSPAR);
    state.parity = 0;
    for (std::uint8_t code = 1; code <= 4; ++code)
        if (ParityBits(code) == parity) state.parity = code;
    state.stopBits = (settings.c_cflag & CSTOPB) != 0 ? 2 : 0;
    return state;
}

std::optional<std::string> PortPath(int portNumber) {
    if (portNumber < 1 || portNumber > 4) return std::nullopt;
    const std::string number = std::to_string(portNumber);
    const char* configured = std::getenv(("SCALEPOLL_COM" + number).c_str());
    if (configured != nullptr && *configured != '\0') return configured;
    return "/dev/ttyS" + std::to_string(portNumber - 1);
}
