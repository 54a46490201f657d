#include "tools/sim/StationReply.h"

#include "poll/Frames.h"

std::string BuildReply(const ReplyFields& fields) {
    std::string content(1, frame::STX);
    content += fields.filler;
    content += fields.address;
    content += fields.sequence;
    for (std::size_t k = 0; k < fields.readings.size(); ++k) {
        if (k > 0) content += ' ';
        content += fields.readings[k].status1;
        content += fields.readings[k].status2;
        content += fields.readings[k].digits;
    }
    content += frame::CR;
    const char checksum = LasCrC(content);
    return content + static_cast<char>(fields.badChecksum ? checksum + 1 : checksum);
}
