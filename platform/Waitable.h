// Input the event loop can wait for beside its timers: bytes arriving at a
// serial port, keys at a terminal. The system clock waits on the descriptor
// with poll(); virtual time asks when the input will be there.
#pragma once

#include <cstdint>
#include <optional>

class Waitable {
public:
    virtual ~Waitable() = default;
    // The descriptor poll() waits on; -1 for none.
    virtual int Descriptor() = 0;
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
