// Builds reply frames as a weighing station sends them, for tests.
// The default is a good reply of station 3 to sequence number 2: three stable
// readings of 0001250 with division code 1 ("2") and decimal code 0.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "poll/Frames.h"
#include "text/JonoKasi2.h"

class ReplyBuilder {
public:
    ReplyBuilder& Address(int station) { return AddressByte(static_cast<char>(48 + station)); }
    ReplyBuilder& AddressByte(char address) { address_ = address; return *this; }
    ReplyBuilder& Sequence(int sequence) { return SequenceText(IntToHexText(sequence, 2)); }
    ReplyBuilder& SequenceText(std::string text) { sequence_ = std::move(text); return *this; }
    // Reading k (0..2): seven digit characters and its two status bytes.
    ReplyBuilder& Reading(int k, std::string digits, int status1 = 32, int status2 = 33) {
        readings_[static_cast<std::size_t>(k)] = {std::move(digits), status1, status2};
        return *this;
    }
    ReplyBuilder& AllReadings(const std::string& digits, int status1 = 32, int status2 = 33) {
        for (int k = 0; k < 3; ++k) Reading(k, digits, status1, status2);
        return *this;
    }
    // Adjusts the unexamined byte at position 2 so the checksum comes out as wanted.
    ReplyBuilder& WithChecksum(char wanted) { checksum_ = wanted; forceChecksum_ = true; return *this; }
    ReplyBuilder& BadChecksum() { corrupt_ = true; return *this; }

    std::string Build() const {
        std::string content(1, frame::STX);
        content += '0';
        content += address_;
        content += sequence_;
        for (std::size_t k = 0; k < 3; ++k) {
            content += static_cast<char>(readings_[k].status1);
            content += static_cast<char>(readings_[k].status2);
            content += readings_[k].digits;
            if (k < 2) content += ' ';
        }
        content += frame::CR;
        if (forceChecksum_) {
            const auto need = static_cast<std::uint8_t>(LasCrC(content) - checksum_);
            content[1] = static_cast<char>(static_cast<std::uint8_t>(content[1]) + need);
        }
        char checksum = LasCrC(content);
        if (corrupt_) checksum = static_cast<char>(checksum + 1);
        return content + checksum;
    }

private:
    struct Fields {
        std::string digits = "0001250";
        int status1 = 32;
        int status2 = 33;
    };
    char address_ = '3';
    std::string sequence_ = "02";
    std::array<Fields, 3> readings_{};
    char checksum_ = 0;
    bool forceChecksum_ = false;
    bool corrupt_ = false;
};
