// The Win32 calls a serial port makes, behind one interface, so that tests
// can put a model of the serial driver in virtual time where the system's
// driver would be. The system's own functions are the default; each call
// forwards to the function of the same name with the same arguments.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

class CommApi {
public:
    virtual ~CommApi() = default;

    virtual BOOL ReadFile(HANDLE file, void* into, DWORD count, OVERLAPPED* call) = 0;
    virtual BOOL WriteFile(HANDLE file, const void* bytes, DWORD count, OVERLAPPED* call) = 0;
    virtual BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* call, DWORD* count, BOOL wait) = 0;
    virtual BOOL CancelIoEx(HANDLE file, OVERLAPPED* call) = 0;
    virtual BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) = 0;
    virtual BOOL SetupComm(HANDLE file, DWORD inputSize, DWORD outputSize) = 0;
    virtual BOOL PurgeComm(HANDLE file, DWORD flags) = 0;
    virtual BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* status) = 0;
    virtual BOOL FlushFileBuffers(HANDLE file) = 0;
    virtual BOOL EscapeCommFunction(HANDLE file, DWORD function) = 0;
    virtual BOOL SetCommState(HANDLE file, DCB* dcb) = 0;
    virtual BOOL GetCommState(HANDLE file, DCB* dcb) = 0;
    virtual DWORD WaitForSingleObject(HANDLE object, DWORD timeoutMs) = 0;
    virtual void Sleep(DWORD ms) = 0;
    virtual BOOL CloseHandle(HANDLE object) = 0;
    // In virtual time, when an overlapped call's event will be set (now or
    // later); nothing when no call will set it, and always nothing for the
    // system, whose events the event loop waits on itself.
    virtual std::optional<std::int64_t> EventSetAtMs(HANDLE) { return std::nullopt; }
};

// The system's own functions.
CommApi& SystemCommApi();
