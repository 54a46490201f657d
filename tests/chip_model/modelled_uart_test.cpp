// The modelled UART on its own, in real time: the character time it paces
// its FIFO by, and its record of a frame against the wire, since every
// check of the kernel-chips tier rests on both.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>

#include "poll/Frames.h"
#include "tests/chip_model/ModelledUart.h"

namespace {

TEST(LineSettings, ACharacterIsItsStartDataParityAndStopBits) {
    const struct {
        LineSettings line;
        std::int64_t us;
    } cases[] = {
        {{9600, 8, Parity::None, 1}, 1042},  {{300, 7, Parity::Even, 2}, 36667}, {{600, 8, Parity::Odd, 1}, 18333},
        {{1200, 7, Parity::Mark, 1}, 8333},  {{2400, 8, Parity::Space, 2}, 5000}, {{19200, 8, Parity::Even, 1}, 573},
    };
    for (const auto& [line, us] : cases) EXPECT_EQ(line.CharacterUs(), us) << line.Text();
}

// The journal's records, without their time stamps.
std::string Records(std::FILE* journal) {
    std::rewind(journal);
    std::string records;
    char line[512];
    while (std::fgets(line, sizeof line, journal) != nullptr) records += std::strchr(line, ' ') + 1;
    return records;
}

std::string Field(const std::string& record, const std::string& key) {
    const std::size_t at = record.find(" " + key + "=");
    if (at == std::string::npos) return {};
    const std::size_t start = at + key.size() + 2;
    return record.substr(start, record.find_first_of(" \n", start) - start);
}

// At 2400 baud a 13-byte frame takes 54 ms on the wire. DTR raised at once
// is recorded that much early with every byte still in the FIFO; raised
// after the last stop bit, late with none; bytes sent while DTR is up are
// strays.
TEST(ModelledUart, RecordsEachFrameAgainstTheWire) {
    std::FILE* journal = std::tmpfile();
    ASSERT_NE(journal, nullptr);
    {
        ModelledUart uart(journal, {});
        uart.SetLine({2400, 8, Parity::None, 1});
        const std::string frame = "\xFF\xFF\xFF" + ReadRequest(3) + "\xFF\xFF\xFF";
        uart.SetModemLines(true, false);
        uart.SetModemLines(false, false);
        EXPECT_EQ(uart.Transmit(frame), 1);
        EXPECT_FALSE(uart.TransmitterEmpty());
        uart.SetModemLines(true, false);
        uart.SetModemLines(false, false);
        EXPECT_EQ(uart.Transmit(frame), 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(60 + 54));
        EXPECT_TRUE(uart.TransmitterEmpty());
        uart.SetModemLines(true, true);
        EXPECT_EQ(uart.Transmit("x"), 0);
    }
    std::istringstream records(Records(journal));
    std::string early, late, stray;
    std::getline(records, early);
    std::getline(records, late);
    std::getline(records, stray);
    EXPECT_EQ(early.rfind("frame 1 ", 0), 0u) << early;
    EXPECT_EQ(Field(early, "line"), "2400,8,None,1");
    EXPECT_LT(std::stoll(Field(early, "after-us")), -40'000);
    EXPECT_EQ(Field(early, "left"), "13");
    EXPECT_EQ(late.rfind("frame 2 ", 0), 0u) << late;
    EXPECT_GE(std::stoll(Field(late, "after-us")), 0);
    EXPECT_EQ(Field(late, "left"), "0");
    EXPECT_EQ(Field(late, "rts"), "1");
    EXPECT_EQ(stray.rfind("stray 1 ", 0), 0u) << stray;
    std::fclose(journal);
}

// A read request, once its last stop bit is out, is answered by the
// station, paced at the line's speed.
TEST(ModelledUart, TheStationsAnswerWhatLeftTheWire) {
    std::FILE* journal = std::tmpfile();
    ASSERT_NE(journal, nullptr);
    StationScript answering;
    answering.weight = 1250;
    answering.delayMs = 0;
    ModelledUart uart(journal, {{3, answering}});
    uart.SetLine({19200, 8, Parity::None, 1});
    uart.Transmit(TriggerFrame(2) + ReadRequest(3));
    std::string reply;
    const std::int64_t deadlineUs = MonotonicUs() + 1'000'000;
    while (reply.size() < 36 && MonotonicUs() < deadlineUs) reply += uart.TakeReceived(deadlineUs);
    EXPECT_EQ(reply.size(), 36u);
    EXPECT_EQ(reply.substr(0, 5), "\x02" "0302");
    std::fclose(journal);
}

}  // namespace
