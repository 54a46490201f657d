#include <windows.h>

#include "platform/Files.h"
#include "platform/win32/WriteAll.h"

namespace {

// The system's text for an error code, without its closing line end.
std::string ErrorText(DWORD code) {
    char* text = nullptr;
    const DWORD size = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string reason = size != 0 ? std::string(text, size) : "error " + std::to_string(code);
    LocalFree(text);
    while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n' || reason.back() == '.'))
        reason.pop_back();
    return reason;
}

// Handles are not inherited unless asked for, so no child gets the file.
class AppendFile final : public TextOutput {
public:
    explicit AppendFile(HANDLE file) : file_(file) {}
    ~AppendFile() override { CloseHandle(file_); }
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    void WriteAndFlush(std::string_view text) override { WriteAll(file_, text); }

private:
    HANDLE file_;
};

}  // namespace

std::optional<std::string> WriteWholeFile(const std::string& path, std::string_view bytes) {
    std::string saving;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < kSavingNameAttempts && file == INVALID_HANDLE_VALUE; ++attempt) {
        saving = SavingName(path);
        file = CreateFileA(saving.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (file == INVALID_HANDLE_VALUE) return ErrorText(GetLastError());

    DWORD error = ERROR_SUCCESS;
    if (!WriteAll(file, bytes) || !FlushFileBuffers(file)) error = GetLastError();
    if (!CloseHandle(file) && error == ERROR_SUCCESS) error = GetLastError();
    if (error == ERROR_SUCCESS &&
        !MoveFileExA(saving.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = GetLastError();
    if (error == ERROR_SUCCESS) return std::nullopt;
    DeleteFileA(saving.c_str());
    return ErrorText(error);
}

// Each line is written whole, however long that takes, so this file writes
// no lines of its own and needs no run mark.
std::unique_ptr<TextOutput> OpenAppendFile(const std::string& path, const std::string& /*runMark*/) {
    const HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<AppendFile>(file);
}
