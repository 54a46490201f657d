// Input the event loop can wait for beside its timers: bytes arriving at a
// serial port or a connection, keys at a terminal. The system clock waits on
// the descriptor with poll() on POSIX systems, and on the handle with
// WaitForMultipleObjects on Windows; virtual time asks when the input will be
// there.
#pragma once

#include <cstdint>
#include <optional>

class Waitable {
public:
    virtual ~Waitable() = default;
    // The descriptor poll() waits on; -1 for none.
    virtual int Descriptor() = 0;
    // The event WaitForMultipleObjects waits on (a HANDLE, signalled while
    // input may be there); nullptr for none.
    virtual void* Handle() { return nullptr; }
    // In virtual time, when input is there to read (now or later); nothing
    // when none is coming, and always nothing outside virtual time.
    virtual std::optional<std::int64_t> ReadyAtMs() = 0;
};

// A port's or a terminal's descriptor.
class DescriptorWaitable final : public Waitable {
public:
    explicit DescriptorWaitable(int descriptor) : descriptor_(descriptor) {}
    int Descriptor() override { return descriptor_; }
    std::optional<std::int64_t> ReadyAtMs() override { return std::nullopt; }

private:
    int descriptor_;
};

// A port's or a connection's event.
class HandleWaitable final : public Waitable {
public:
    explicit HandleWaitable(void* handle) : handle_(handle) {}
    int Descriptor() override { return -1; }
    void* Handle() override { return handle_; }
    std::optional<std::int64_t> ReadyAtMs() override { return std::nullopt; }

private:
    void* handle_;
};
