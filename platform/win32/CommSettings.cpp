#include "platform/win32/CommSettings.h"

DCB ToDcb(const CommState& state) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = state.baudRate;
    dcb.fBinary = 1;
    dcb.fDtrControl = state.dtrEnable ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fOutxCtsFlow = state.rtsCtsHandshake ? 1 : 0;
    dcb.fRtsControl = state.rtsCtsHandshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
    dcb.fOutX = state.xonXoff ? 1 : 0;
    dcb.fInX = state.xonXoff ? 1 : 0;
    dcb.XonLim = state.xonLimit;
    dcb.XoffLim = state.xoffLimit;
    dcb.ByteSize = state.byteSize;
    dcb.Parity = state.parity;
    dcb.StopBits = state.stopBits;
    dcb.XonChar = state.xonChar;
    dcb.XoffChar = state.xoffChar;
    return dcb;
}

CommState FromDcb(const DCB& dcb) {
    CommState state;
    state.baudRate = dcb.BaudRate;
    state.byteSize = dcb.ByteSize;
    state.parity = dcb.Parity;
    state.stopBits = dcb.StopBits;
    return state;
}

COMMTIMEOUTS ToCommTimeouts(const CommTimeouts& timeouts) {
    COMMTIMEOUTS result{};
    result.ReadIntervalTimeout = timeouts.readInterval;
    result.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
    result.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
    result.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
    result.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
    return result;
}
