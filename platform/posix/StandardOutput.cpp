#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/TextOutput.h"

namespace {

class FileDescriptorOutput final : public TextOutput {
public:
    explicit FileDescriptorOutput(int fd) : fd_(fd) {}
    void WriteAndFlush(std::string_view text) override {
        while (!text.empty()) {
            const ssize_t written = write(fd_, text.data(), text.size());
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return;
            text.remove_prefix(static_cast<std::size_t>(written));
        }
    }

private:
    int fd_;
};

}  // namespace

TextOutput& StandardOutput() {
    static FileDescriptorOutput output(STDOUT_FILENO);
    return output;
}

void PrepareProcess() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        const int placeholder = open("/dev/null", O_RDWR);
        if (placeholder >= 0 && placeholder != fd) {
            dup2(placeholder, fd);
            close(placeholder);
        }
    }
    signal(SIGPIPE, SIG_IGN);
}
