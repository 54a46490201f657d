#include "platform/Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/WriteAll.h"

namespace {

class AppendFile final : public TextOutput {
public:
    explicit AppendFile(int fd) : fd_(fd) {}
    ~AppendFile() override { close(fd_); }
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    void WriteAndFlush(std::string_view text) override { WriteAll(fd_, text); }

private:
    int fd_;
};

}  // namespace

std::optional<std::string> WriteWholeFile(const std::string& path, std::string_view bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return std::strerror(errno);
    const bool written = WriteAll(fd, bytes);
    const int writeError = errno;
    const bool closed = close(fd) == 0;
    if (!written) return std::strerror(writeError);
    if (!closed) return std::strerror(errno);
    return std::nullopt;
}

std::unique_ptr<TextOutput> OpenAppendFile(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    return std::make_unique<AppendFile>(fd);
}
