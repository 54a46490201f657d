// The two directions between the poll cycle and the serial link: the poll
// cycle hands finished frames to the link, and the link hands every received
// chunk, unchanged, to the poll cycle.
#pragma once

#include <string>

class FrameLink {
public:
    virtual ~FrameLink() = default;
    // Lahetys ("sending"): put one complete frame on the line.
    virtual void Lahetys(const std::string& frame) = 0;
};

class ChunkReceiver {
public:
    virtual ~ChunkReceiver() = default;
    // SarjaTulo ("serial input"): one chunk of received bytes, any values.
    virtual void SarjaTulo(const std::string& chunk) = 0;
};
