// PollObserver: what the poll cycle decides, told at the moment it decides,
// for the line trace to put in words. The base class does nothing, which is
// what a run without a trace has; a traced run attaches the trace. Telling
// an observer never changes what the poll cycle does.
#pragma once

#include <cstdint>
#include <string_view>

#include "poll/Reply.h"

class PollObserver {
public:
    virtual ~PollObserver() = default;

    // A frame about to be handed to the link.
    virtual void TriggerSending(std::int32_t /*sequenceNumber*/) {}
    virtual void RequestSending(int /*station*/, std::int32_t /*tryNumber*/) {}
    // The 5000 ms of a read request ran out without an accepted reply.
    virtual void TryTimedOut(int /*station*/, std::int32_t /*tryNumber*/) {}

    // The reply buffer, grown by a received chunk, about to be searched for
    // a reply frame.
    virtual void FrameSearch(std::string_view /*buffer*/) {}
    // The buffer grew past the 112-byte rule without a frame and is about to
    // be emptied, before any search: the bytes thrown away.
    virtual void BufferDropped(std::string_view /*bytes*/) {}
    // A found frame that carries another run's sequence number.
    virtual void OtherRunsReply(std::string_view /*frame*/, std::int32_t /*runsSequenceNumber*/) {}
    // A found frame with this run's sequence number whose address names no
    // station 1 to 14: consumed, nothing recorded.
    virtual void NoStationAddressed(std::string_view /*frame*/) {}
    // A reply recorded for `station`; `checkFailed` when its reading check
    // set the run's error flag.
    virtual void ReplyRecorded(int /*station*/, std::int32_t /*tryNumber*/, const ReplyReadings& /*readings*/,
                               std::int32_t /*weight*/, bool /*settled*/, bool /*checkFailed*/) {}
};

// The observer of a run without a trace.
inline PollObserver& NoPollObserver() {
    static PollObserver none;
    return none;
}
