// Frames heard among the bytes on the line, the answers they bring, and the
// pace at which answers go out.
#include <gtest/gtest.h>

#include "poll/Frames.h"
#include "tools/sim/LinePacer.h"
#include "tools/sim/Simulation.h"

namespace {

const std::string kFill(3, '\xFF');

std::string Filled(const std::string& frame) { return kFill + frame + kFill; }

std::map<int, StationScript> Stations() {
    return {{3, ParseStation("3:weight=1250").script},
            {5, ParseStation("5:weight=7,answers=2").script},
            {7, ParseStation("7:silent").script}};
}

std::string Reply(int station, int sequence) {
    std::string bytes;
    for (const std::string& piece : AnswerFor(Stations().at(station), station, sequence).pieces) bytes += piece;
    return bytes;
}

std::string AnswersTo(const std::vector<std::string>& chunks) {
    Simulation simulation(Stations());
    std::string sent;
    for (const std::string& chunk : chunks)
        for (const Response& response : simulation.Feed(chunk))
            for (const std::string& piece : response.answer.pieces) sent += piece;
    return sent;
}

std::vector<std::string> OneByteEach(const std::vector<std::string>& chunks) {
    std::vector<std::string> bytes;
    for (const std::string& chunk : chunks)
        for (char byte : chunk) bytes.emplace_back(1, byte);
    return bytes;
}

}  // namespace

TEST(Simulation, AnswersRequestsAmongOtherBytes) {
    std::string badRequest = ReadRequest(3);
    badRequest.back() = static_cast<char>(badRequest.back() + 1);
    std::string lowerCaseTrigger = TriggerFrame(0x2A);
    lowerCaseTrigger[6] = 'a';
    lowerCaseTrigger.back() = LasCrC(lowerCaseTrigger.substr(0, 8));

    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::string answers;
    };
    const Case cases[] = {
        {"trigger then request", {Filled(TriggerFrame(2)), Filled(ReadRequest(3))}, Reply(3, 2)},
        {"both in one chunk", {Filled(TriggerFrame(0x2A)) + Filled(ReadRequest(3))}, Reply(3, 0x2A)},
        {"latest trigger counts", {TriggerFrame(1) + TriggerFrame(0xFF) + ReadRequest(3)}, Reply(3, 0xFF)},
        {"noise and stray STX", {"\x02\x02x\x02*0M" + ReadRequest(3) + "\x02"}, Reply(3, 0)},
        {"request split", {TriggerFrame(9) + ReadRequest(3).substr(0, 4), ReadRequest(3).substr(4)}, Reply(3, 9)},
        {"spoiled checksum", {Filled(TriggerFrame(2)), Filled(badRequest)}, ""},
        {"lower-case sequence", {lowerCaseTrigger + ReadRequest(3)}, Reply(3, 0)},
        {"station not simulated", {Filled(TriggerFrame(2)), Filled(ReadRequest(12))}, ""},
        {"silent station", {Filled(TriggerFrame(2)), Filled(ReadRequest(7))}, ""},
        {"answers from the second request", {TriggerFrame(2) + ReadRequest(5), ReadRequest(5)}, Reply(5, 2)},
        {"trigger alone", {Filled(TriggerFrame(2))}, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AnswersTo(c.chunks), c.answers) << c.name;
        EXPECT_EQ(AnswersTo(OneByteEach(c.chunks)), c.answers) << c.name << ", one byte at a time";
    }
}

TEST(LinePacer, BytesFallDueAtTheBaudRate) {
    LinePacer pacer(10000);  // a byte every millisecond
    pacer.Add(0, {100, {"abc", "de"}, 50});
    pacer.Add(0, {0, {"xy"}, 0});  // waits for the line
    const std::pair<std::int64_t, std::string> steps[] = {
        {100'999, ""}, {101'000, "a"}, {103'500, "bc"}, {153'999, ""}, {154'000, "d"}, {200'000, "exy"},
    };
    for (const auto& [atUs, due] : steps) EXPECT_EQ(pacer.TakeDue(atUs), due) << atUs;
    EXPECT_FALSE(pacer.NextDueUs());
}

TEST(LinePacer, LateTakingKeepsThePace) {
    LinePacer pacer(9600);
    pacer.Add(0, {0, {std::string(36, 'r')}, 0});
    EXPECT_EQ(pacer.NextDueUs(), 1041);
    EXPECT_EQ(pacer.TakeDue(10'000).size(), 9u);
    EXPECT_EQ(pacer.NextDueUs(), 10 * 1041);
    EXPECT_EQ(pacer.TakeDue(36 * 1041).size(), 27u);
}
