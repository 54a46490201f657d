// Finds the trigger frames and read requests among the bytes received on the
// line. Fill bytes, noise and spoiled frames are passed over; a frame split
// across chunks is found once its last byte arrives. Frames are recognised by
// their fixed positions and checksum, never by a closing CR.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct Heard {
    enum Kind { Trigger, Request };
    Kind kind;
    int value;  // the trigger's sequence number or the requested station
};

class LineScanner {
public:
    std::vector<Heard> Feed(std::string_view bytes);

private:
    std::string pending_;  // from the first byte that may still open a frame
};
