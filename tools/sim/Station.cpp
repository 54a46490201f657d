#include "tools/sim/Station.h"

#include <charconv>
#include <cstdlib>

#include "poll/Frames.h"
#include "text/JonoKasi2.h"
#include "tools/sim/StationReply.h"

namespace {

constexpr std::int32_t kLargestWeight = 9'999'999;
constexpr std::int32_t kDivisions[] = {1, 2, 5, 10, 20, 50, 100, 200, 500};
constexpr char kNoise[] = {'\x55', frame::STX, '\xAA', frame::CR, '\x00', '\x7F', '#'};

using Setter = void (*)(StationScript&, std::string_view value);

struct Setting {
    std::string_view name;
    bool takesValue;
    Setter set;
};

int Small(std::string_view value, int low, int high, std::string_view what) {
    return static_cast<int>(ParseNumber(value, low, high, what));
}

const Setting kSettings[] = {
    {"weight", true, [](StationScript& s, std::string_view v) {
         s.weight = static_cast<std::int32_t>(ParseNumber(v, -kLargestWeight, kLargestWeight, "weight"));
     }},
    {"decimals", true, [](StationScript& s, std::string_view v) { s.decimals = Small(v, 0, 3, "decimals"); }},
    {"division", true, [](StationScript& s, std::string_view v) { s.division = Small(v, 0, 8, "division"); }},
    {"unstable", false, [](StationScript& s, std::string_view) { s.unstable = true; }},
    {"silent", false, [](StationScript& s, std::string_view) { s.silent = true; }},
    {"disagree", false, [](StationScript& s, std::string_view) { s.disagree = true; }},
    {"wrong-seq", false, [](StationScript& s, std::string_view) { s.wrongSequence = true; }},
    {"bad-checksum", false, [](StationScript& s, std::string_view) { s.badChecksum = true; }},
    {"wrong-address", false, [](StationScript& s, std::string_view) { s.wrongAddress = true; }},
    {"chunks", true, [](StationScript& s, std::string_view v) {
         s.chunks = Small(v, 1, static_cast<int>(frame::kReplySize), "chunks");
     }},
    {"pause", true, [](StationScript& s, std::string_view v) { s.pauseMs = ParseNumber(v, 0, 60'000, "pause"); }},
    {"noise", true, [](StationScript& s, std::string_view v) { s.noise = Small(v, 0, 1000, "noise"); }},
    {"delay", true, [](StationScript& s, std::string_view v) { s.delayMs = ParseNumber(v, 0, 60'000, "delay"); }},
    {"answers", true, [](StationScript& s, std::string_view v) { s.answersFrom = Small(v, 1, 1000, "answers"); }},
};

void ApplySetting(StationScript& script, std::string_view text) {
    const std::size_t equals = text.find('=');
    const std::string_view name = text.substr(0, equals);
    for (const Setting& setting : kSettings) {
        if (setting.name != name) continue;
        if (setting.takesValue != (equals != std::string_view::npos))
            throw UsageError("station setting '" + std::string(text) +
                             (setting.takesValue ? "' needs a value" : "' takes no value"));
        setting.set(script, setting.takesValue ? text.substr(equals + 1) : std::string_view{});
        return;
    }
    throw UsageError("unknown station setting '" + std::string(name) + "'");
}

// Station sequence numbers run 01..FF; this one is never the trigger's.
int OtherSequence(int sequence) { return sequence % 255 + 1; }

ReadingBytes Reading(const StationScript& script, std::int32_t magnitude) {
    ReadingBytes reading;
    reading.status1 = static_cast<char>(0x20 | script.decimals | (script.weight < 0 ? 0x10 : 0));
    reading.status2 = static_cast<char>(0x20 | script.division | (script.unstable ? 0x10 : 0));
    reading.digits = PadLeft(std::to_string(magnitude), '0', 7);
    return reading;
}

ReplyFields Fields(const StationScript& script, int station, int sequence) {
    ReplyFields fields;
    fields.address = static_cast<char>(48 + (script.wrongAddress ? 0 : station));
    fields.sequence = IntToHexText(script.wrongSequence ? OtherSequence(sequence) : sequence, 2);
    const std::int32_t magnitude = std::abs(script.weight);
    const std::int32_t apart = 2 * kDivisions[script.division];
    const std::int32_t other = magnitude + apart <= kLargestWeight ? magnitude + apart : magnitude - apart;
    fields.readings = {Reading(script, magnitude), Reading(script, script.disagree ? other : magnitude),
                       Reading(script, magnitude)};
    fields.badChecksum = script.badChecksum;
    return fields;
}

std::vector<std::string> Pieces(const std::string& bytes, int count) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (int k = 0; k < count; ++k) {
        const std::size_t end = bytes.size() * static_cast<std::size_t>(k + 1) / static_cast<std::size_t>(count);
        pieces.push_back(bytes.substr(start, end - start));
        start = end;
    }
    return pieces;
}

}  // namespace

std::int64_t ParseNumber(std::string_view text, std::int64_t low, std::int64_t high, std::string_view what) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        throw UsageError(std::string(what) + " must be a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not '" + std::string(text) + "'");
    return value;
}

StationEntry ParseStation(std::string_view text) {
    const std::size_t colon = text.find(':');
    StationEntry entry;
    entry.station = static_cast<int>(ParseNumber(text.substr(0, colon), 1, 14, "station"));
    if (colon == std::string_view::npos) return entry;
    std::string_view settings = text.substr(colon + 1);
    while (true) {
        const std::size_t comma = settings.find(',');
        ApplySetting(entry.script, settings.substr(0, comma));
        if (comma == std::string_view::npos) return entry;
        settings.remove_prefix(comma + 1);
    }
}

Answer AnswerFor(const StationScript& script, int station, int sequence) {
    std::string noise;
    for (int k = 0; k < script.noise; ++k) noise += kNoise[static_cast<std::size_t>(k) % std::size(kNoise)];
    const std::string reply = BuildReply(Fields(script, station, sequence));
    std::vector<std::string> pieces = Pieces(reply, script.chunks);
    pieces.front().insert(0, noise);
    return {script.delayMs, std::move(pieces), script.pauseMs};
}
