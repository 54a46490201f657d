// The bytes of a weighing station's reply frame: the one place the project
// builds replies, for the simulator and for unit tests alike. The fields are
// taken as given, so a caller can put any byte in any place.
//
// A reply is 36 bytes: STX, a byte the tool does not examine, the address
// character, two sequence digits, three readings (two status bytes and seven
// weight digits each, a blank between readings), CR and the checksum.
#pragma once

#include <array>
#include <string>

struct ReadingBytes {
    char status1 = 0x20;  // bits 0-2 decimal code, bit 4 negative
    char status2 = 0x21;  // bits 0-3 division code, bit 4 not stable
    std::string digits = "0000000";
};

struct ReplyFields {
    char filler = '0';  // position 2
    char address = '1';
    std::string sequence = "01";
    std::array<ReadingBytes, 3> readings{};
    bool badChecksum = false;  // the checksum byte off by one
};

std::string BuildReply(const ReplyFields& fields);
