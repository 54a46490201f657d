// The line settings and time limits as the Win32 communications API gets them.
#include <gtest/gtest.h>

#include "platform/win32/CommSettings.h"

namespace {

struct DcbCase {
    const char* name;
    CommState state;
    DWORD baudRate;
    BYTE byteSize, parity, stopBits;
    DWORD dtrControl, rtsControl, ctsFlow, xonXoff;
};

const DcbCase kDcbCases[] = {
    {"defaults", {}, 9600, 8, NOPARITY, ONESTOPBIT, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, 0, 0},
    {"300 7E2, DTR held low", {.baudRate = 300, .byteSize = 7, .parity = 2, .stopBits = 2, .dtrEnable = false},
     300, 7, EVENPARITY, TWOSTOPBITS, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, 0, 0},
    {"115200 5O1.5", {.baudRate = 115200, .byteSize = 5, .parity = 1, .stopBits = 1},
     115200, 5, ODDPARITY, ONE5STOPBITS, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, 0, 0},
    {"mark parity", {.parity = 3}, 9600, 8, MARKPARITY, ONESTOPBIT, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, 0, 0},
    {"space parity", {.parity = 4}, 9600, 8, SPACEPARITY, ONESTOPBIT, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, 0, 0},
    {"RTS/CTS", {.rtsCtsHandshake = true}, 9600, 8, NOPARITY, ONESTOPBIT, DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE,
     1, 0},
    {"XON/XOFF", {.xonXoff = true}, 9600, 8, NOPARITY, ONESTOPBIT, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, 0, 1},
};

TEST(Win32CommSettings, FramingReadsBackFromADcb) {
    for (const DcbCase& c : kDcbCases) {
        const CommState state = FromDcb(ToDcb(c.state));
        SCOPED_TRACE(c.name);
        EXPECT_EQ(state.baudRate, c.state.baudRate);
        EXPECT_EQ(state.byteSize, c.state.byteSize);
        EXPECT_EQ(state.parity, c.state.parity);
        EXPECT_EQ(state.stopBits, c.state.stopBits);
    }
}

TEST(Win32CommSettings, DcbCarriesFramingDtrAndFlowControl) {
    for (const DcbCase& c : kDcbCases) {
        const DCB dcb = ToDcb(c.state);
        SCOPED_TRACE(c.name);
        EXPECT_EQ(dcb.BaudRate, c.baudRate);
        EXPECT_EQ(dcb.ByteSize, c.byteSize);
        EXPECT_EQ(dcb.Parity, c.parity);
        EXPECT_EQ(dcb.StopBits, c.stopBits);
        EXPECT_EQ(dcb.fDtrControl, c.dtrControl);
        EXPECT_EQ(dcb.fRtsControl, c.rtsControl);
        EXPECT_EQ(dcb.fOutxCtsFlow, c.ctsFlow);
        EXPECT_EQ(dcb.fOutX, c.xonXoff);
        EXPECT_EQ(dcb.fInX, c.xonXoff);
    }
}

// Any of these left on would lose or hold back bytes the stations send:
// DSR flow or sensitivity on a line without DSR, stripped NULs, replaced
// bytes, or every read failing after one framing error.
TEST(Win32CommSettings, DcbIsBinaryWithEveryOtherOptionOff) {
    for (const DcbCase& c : kDcbCases) {
        const DCB dcb = ToDcb(c.state);
        SCOPED_TRACE(c.name);
        EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
        EXPECT_EQ(dcb.fBinary, 1u);
        EXPECT_EQ(dcb.fParity, 0u);
        EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
        EXPECT_EQ(dcb.fDsrSensitivity, 0u);
        EXPECT_EQ(dcb.fTXContinueOnXoff, 0u);
        EXPECT_EQ(dcb.fErrorChar, 0u);
        EXPECT_EQ(dcb.fNull, 0u);
        EXPECT_EQ(dcb.fAbortOnError, 0u);
        EXPECT_EQ(dcb.ErrorChar, 0);
        EXPECT_EQ(dcb.EofChar, 0);
        EXPECT_EQ(dcb.EvtChar, 0);
    }
}

TEST(Win32CommSettings, DcbCarriesXonXoffLimitsAndCharacters) {
    const DCB dcb = ToDcb({.xonLimit = 300, .xoffLimit = 7, .xonChar = 'Q', .xoffChar = 'S'});
    EXPECT_EQ(dcb.XonLim, 300);
    EXPECT_EQ(dcb.XoffLim, 7);
    EXPECT_EQ(dcb.XonChar, 'Q');
    EXPECT_EQ(dcb.XoffChar, 'S');
}

TEST(Win32CommSettings, TimeoutsKeepEveryField) {
    const COMMTIMEOUTS limits = ToCommTimeouts(CommTimeouts{1, 2, 3, 4, 5});
    EXPECT_EQ(limits.ReadIntervalTimeout, 1u);
    EXPECT_EQ(limits.ReadTotalTimeoutMultiplier, 2u);
    EXPECT_EQ(limits.ReadTotalTimeoutConstant, 3u);
    EXPECT_EQ(limits.WriteTotalTimeoutMultiplier, 4u);
    EXPECT_EQ(limits.WriteTotalTimeoutConstant, 5u);
}

}  // namespace
