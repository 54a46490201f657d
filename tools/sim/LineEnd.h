// The simulator's end of the line, in raw mode: the master side of a new
// pseudo-terminal, or a serial device. With a pseudo-terminal it also keeps a
// descriptor of the other side open, so the master never sees a hang-up while
// the tool has its side closed. That descriptor is never locked and never made
// exclusive, so the tool's own exclusive open still succeeds.
#pragma once

#include <string>

class LineEnd {
public:
    // Both throw std::system_error.
    static LineEnd PseudoTerminal();
    static LineEnd Device(const std::string& path, int baud);

    LineEnd(LineEnd&& other) noexcept;
    LineEnd& operator=(LineEnd&&) = delete;
    ~LineEnd();

    int Fd() const { return fd_; }  // non-blocking; -1 once hung up
    const std::string& Path() const { return path_; }  // what the tool opens

    // Faults (LineFaults.h). HangUp closes both descriptors, so the line is
    // gone for the tool. FillInbound writes into the other side until the
    // queue towards the simulator takes no more (a pseudo-terminal only).
    void HangUp();
    void FillInbound();

private:
    LineEnd(int fd, int otherSideFd, std::string path) : fd_(fd), otherSideFd_(otherSideFd), path_(std::move(path)) {}

    int fd_;
    int otherSideFd_;
    std::string path_;
};
