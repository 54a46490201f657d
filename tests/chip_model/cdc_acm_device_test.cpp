// The CDC-ACM adapter's reading of the line coding, on its own: the
// kernel-chips tier sends it only the codings scalepoll's framings make, so
// the speeds beyond two bytes and the codings the UART cannot take are tried
// here.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "tests/chip_model/CdcAcmDevice.h"
#include "tests/chip_model/ChipFamilies.h"
#include "tests/chip_model/ModelledUart.h"

namespace {

std::string Coding(std::initializer_list<unsigned char> bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(CdcAcmLineCoding, IsReadAsTheUartTakesItOrNotAtAll) {
    const struct {
        std::string dataStage;
        const char* line;  // as LineSettings::Text() gives it; none when refused
    } cases[] = {
        {Coding({0x80, 0x25, 0, 0, 0, 0, 8}), "9600 8 None 1"},
        {Coding({0x2c, 0x01, 0, 0, 2, 2, 7}), "300 7 Even 2"},
        {Coding({0x00, 0x4b, 0, 0, 0, 4, 8}), "19200 8 Space 1"},
        {Coding({0x00, 0xc2, 0x01, 0, 0, 1, 8}), "115200 8 Odd 1"},
        {Coding({0x80, 0x25, 0, 0, 1, 0, 8}), nullptr},  // one and a half stop bits
        {Coding({0x80, 0x25, 0, 0, 0, 5, 8}), nullptr},  // no such parity
        {Coding({0x80, 0x25, 0, 0, 0, 0, 9}), nullptr},
        {Coding({0x80, 0x25, 0, 0, 0, 0}), nullptr},     // one byte short
    };
    for (const auto& [dataStage, line] : cases) {
        const std::optional<LineSettings> decoded = cdc_acm::DecodeLineCoding(dataStage);
        if (line == nullptr) {
            EXPECT_FALSE(decoded) << decoded->Text();
        } else {
            ASSERT_TRUE(decoded) << line;
            EXPECT_EQ(decoded->Text(), line);
        }
    }
}

// GET_LINE_CODING gives back the coding last taken; one the UART cannot take
// changes neither the line nor that answer.
TEST(CdcAcmLineCoding, IsGivenBackAsLastTaken) {
    // The UART writes its last record as it ends, so the journal outlives it.
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> journal(std::tmpfile(), std::fclose);
    ASSERT_NE(journal, nullptr);
    ModelledUart uart(journal.get(), {});
    const std::unique_ptr<ChipFamily> chip = MakeCdcAcm();
    const ControlRequest set{0x21, 0x20, 0, 0, 7};
    const ControlRequest get{0xA1, 0x21, 0, 0, 7};

    EXPECT_EQ(chip->Control(get, {}, uart).data, Coding({0x80, 0x25, 0, 0, 0, 0, 8}));
    const std::string taken = Coding({0x2c, 0x01, 0, 0, 2, 2, 7});
    chip->Control(set, taken, uart);
    chip->Control(set, Coding({0x80, 0x25, 0, 0, 1, 0, 8}), uart);
    EXPECT_EQ(uart.Line().Text(), "300 7 Even 2");
    const ControlAnswer answer = chip->Control(get, {}, uart);
    EXPECT_FALSE(answer.stall);
    EXPECT_EQ(answer.data, taken);
}

}  // namespace
