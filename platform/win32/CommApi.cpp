#include "platform/win32/CommApi.h"

namespace {

class SystemComm final : public CommApi {
public:
    BOOL ReadFile(HANDLE file, void* into, DWORD count, OVERLAPPED* call) override {
        return ::ReadFile(file, into, count, nullptr, call);
    }
    BOOL WriteFile(HANDLE file, const void* bytes, DWORD count, OVERLAPPED* call) override {
        return ::WriteFile(file, bytes, count, nullptr, call);
    }
    BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* call, DWORD* count, BOOL wait) override {
        return ::GetOverlappedResult(file, call, count, wait);
    }
    BOOL CancelIoEx(HANDLE file, OVERLAPPED* call) override { return ::CancelIoEx(file, call); }
    BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) override { return ::SetCommTimeouts(file, timeouts); }
    BOOL SetupComm(HANDLE file, DWORD inputSize, DWORD outputSize) override {
        return ::SetupComm(file, inputSize, outputSize);
    }
    BOOL PurgeComm(HANDLE file, DWORD flags) override { return ::PurgeComm(file, flags); }
    BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* status) override {
        return ::ClearCommError(file, errors, status);
    }
    BOOL FlushFileBuffers(HANDLE file) override { return ::FlushFileBuffers(file); }
    BOOL EscapeCommFunction(HANDLE file, DWORD function) override { return ::EscapeCommFunction(file, function); }
    BOOL SetCommState(HANDLE file, DCB* dcb) override { return ::SetCommState(file, dcb); }
    BOOL GetCommState(HANDLE file, DCB* dcb) override { return ::GetCommState(file, dcb); }
    DWORD WaitForSingleObject(HANDLE object, DWORD timeoutMs) override {
        return ::WaitForSingleObject(object, timeoutMs);
    }
    void Sleep(DWORD ms) override { ::Sleep(ms); }
    BOOL CloseHandle(HANDLE object) override { return ::CloseHandle(object); }
};

}  // namespace

CommApi& SystemCommApi() {
    static SystemComm api;
    return api;
}
