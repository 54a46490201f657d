#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/TextOutput.h"
#include "platform/posix/WriteAll.h"

namespace {

class FileDescriptorOutput final : public TextOutput {
public:
    explicit FileDescriptorOutput(int fd) : fd_(fd) {}
    // A failed write is dropped: the run ends normally all the same.
    void WriteAndFlush(std::string_view text) override { WriteAll(fd_, text); }

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
