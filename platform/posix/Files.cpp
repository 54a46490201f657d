#include "platform/Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "platform/posix/WriteAll.h"

namespace {

// A file the run appends to and never waits for: it is opened and written
// without blocking, so a FIFO with no reader, or one whose reader stopped,
// cannot hold the run up. A line that cannot be written whole now is dropped
// and counted; the count goes in first once a line can be written again.
class AppendFile final : public TextOutput {
public:
    AppendFile(std::string path, std::string runMark) : path_(std::move(path)), runMark_(std::move(runMark)) {
        TryOpen();
    }
    ~AppendFile() override {
        if (fd_ >= 0) close(fd_);
    }
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    bool IsUsable() const { return fd_ >= 0 || errno_ == ENXIO; }

    // The count of dropped lines goes in the same write as the line, so it
    // lands only where the line lands too.
    void WriteAndFlush(std::string_view text) override {
        if (fd_ < 0) TryOpen();
        std::string lines;
        if (dropped_ > 0) lines = runMark_ + "       - dropped  " + std::to_string(dropped_) + " lines\n";
        lines += text;
        if (fd_ >= 0 && WriteWhole(lines)) {
            dropped_ = 0;
        } else {
            ++dropped_;
        }
    }

private:
    // A FIFO without a reader refuses a non-blocking open (ENXIO); it is tried
    // again at the next line.
    void TryOpen() {
        fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0666);
        errno_ = fd_ < 0 ? errno : 0;
    }

    // One write of the whole line: a pipe takes a line of up to PIPE_BUF bytes
    // whole or not at all, so no reader sees half a line.
    bool WriteWhole(std::string_view text) {
        ssize_t n;
        do {
            n = write(fd_, text.data(), text.size());
        } while (n < 0 && errno == EINTR);
        return n == static_cast<ssize_t>(text.size());
    }

    std::string path_;
    std::string runMark_;
    int fd_ = -1;
    int errno_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace

std::optional<std::string> WriteWholeFile(const std::string& path, std::string_view bytes) {
    std::string saving;
    int fd = -1;
    for (int attempt = 0; attempt < kSavingNameAttempts && fd < 0; ++attempt) {
        saving = SavingName(path);
        fd = open(saving.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return std::strerror(errno);

    int error = 0;
    if (!WriteAll(fd, bytes) || fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && rename(saving.c_str(), path.c_str()) != 0) error = errno;
    if (error == 0) return std::nullopt;
    unlink(saving.c_str());
    return std::strerror(error);
}

std::unique_ptr<TextOutput> OpenAppendFile(const std::string& path, const std::string& runMark) {
    auto file = std::make_unique<AppendFile>(path, runMark);
    if (!file->IsUsable()) return nullptr;
    return file;
}
