// Builds reply frames as a weighing station sends them, for tests: a fluent
// front over the simulator's reply bytes (tools/sim/StationReply.h).
// The default is a good reply of station 3 to sequence number 2: three stable
// readings of 0001250 with division code 1 ("2") and decimal code 0.
#pragma once

#include <optional>
#include <string>

#include "poll/Frames.h"
#include "text/JonoKasi2.h"
#include "tools/sim/StationReply.h"

class ReplyBuilder {
public:
    ReplyBuilder() {
        fields_.address = '3';
        fields_.sequence = "02";
        AllReadings("0001250");
    }
    ReplyBuilder& Address(int station) { return AddressByte(static_cast<char>(48 + station)); }
    ReplyBuilder& AddressByte(char address) { fields_.address = address; return *this; }
    ReplyBuilder& Sequence(int sequence) { return SequenceText(IntToHexText(sequence, 2)); }
    ReplyBuilder& SequenceText(std::string text) { fields_.sequence = std::move(text); return *this; }
    // Reading k (0..2): seven digit characters and its two status bytes.
    ReplyBuilder& Reading(int k, std::string digits, int status1 = 32, int status2 = 33) {
        fields_.readings[static_cast<std::size_t>(k)] = {static_cast<char>(status1), static_cast<char>(status2),
                                                         std::move(digits)};
        return *this;
    }
    ReplyBuilder& AllReadings(const std::string& digits, int status1 = 32, int status2 = 33) {
        for (int k = 0; k < 3; ++k) Reading(k, digits, status1, status2);
        return *this;
    }
    // Adjusts the unexamined byte at position 2 so the checksum comes out as wanted.
    ReplyBuilder& WithChecksum(char wanted) { wantedChecksum_ = wanted; return *this; }
    ReplyBuilder& BadChecksum() { fields_.badChecksum = true; return *this; }

    std::string Build() const {
        ReplyFields fields = fields_;
        if (wantedChecksum_) {
            ReplyFields good = fields_;
            good.badChecksum = false;
            const char checksum = BuildReply(good).back();
            fields.filler = static_cast<char>(fields.filler + checksum - *wantedChecksum_);
        }
        return BuildReply(fields);
    }

private:
    ReplyFields fields_;
    std::optional<char> wantedChecksum_;
};
