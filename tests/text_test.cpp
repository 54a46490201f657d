// The text helpers and the whole-number conversion, as tables of cases.
#include <gtest/gtest.h>

#include "text/JonoKasi2.h"
#include "text/WholeNumber.h"

TEST(TextHelpers, StripLeadingPadLeftRemoveChar) {
    EXPECT_EQ(StripLeading("000", '0'), "");
    EXPECT_EQ(StripLeading("0,5", '0'), ",5");
    EXPECT_EQ(StripLeading("0012", '0'), "12");
    EXPECT_EQ(StripLeading("", '0'), "");

    const std::pair<const char*, const char*> pads[] = {
        {"7", "07"}, {"", "00"}, {"123", "12"}, {"-1", "-1"}, {"-16", "-1"}};
    for (const auto& [text, padded] : pads) EXPECT_EQ(PadLeft(text, '0', 2), padded) << text;
    EXPECT_EQ(PadLeft("abc", '0', 0), "");
    EXPECT_EQ(PadLeft("abc", '0', -3), "");

    EXPECT_EQ(RemoveChar("1,2,3", ','), "123");
    EXPECT_EQ(RemoveChar("123", ','), "123");
}

TEST(TextHelpers, NumberShape) {
    const std::pair<std::string, const char*> cases[] = {
        {"123", "03,00,00"}, {"-12,5", "00,02,01"}, {"0", "01,00,00"}, {"-0", "01,00,00"},
        {"1,2,3", "00,00,00"}, {",5", "00,00,00"}, {"5,", "00,00,00"}, {"-,5", "00,00,00"},
        {"1-2", "00,00,00"}, {"--1", "00,00,00"}, {"12a", "00,00,00"}, {"-", "00,00,00"},
        {"", "00,00,00"}, {"  12345", "00,00,00"}, {std::string(120, '9'), "12,00,00"},
    };
    for (const auto& [text, shape] : cases) EXPECT_EQ(NumberShape(text, ','), shape) << text;
}

TEST(TextHelpers, HexTextToInt) {
    const std::pair<const char*, std::int32_t> cases[] = {
        {"FF", 255}, {"02", 2}, {"0A", 10}, {"0a", 0}, {"G1", 1}, {"", 0},
        {"10000000", 268435456}, {"100000000", 0}, {"FFFFFFFF", -1},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(HexTextToInt(text), value) << text;
}

TEST(TextHelpers, IntToHexText) {
    EXPECT_EQ(IntToHexText(2, 2), "02");
    EXPECT_EQ(IntToHexText(255, 2), "FF");
    EXPECT_EQ(IntToHexText(256, 2), "00");
    EXPECT_EQ(IntToHexText(4660, 2), "34");
    EXPECT_EQ(IntToHexText(-1, 4), "FFFF");
    EXPECT_EQ(IntToHexText(-1, 10), "00FFFFFFFF");
    EXPECT_EQ(IntToHexText(123, 0), "");
}

TEST(WholeNumber, AcceptedForms) {
    const std::pair<const char*, std::int32_t> cases[] = {
        {"7", 7}, {" 7", 7}, {"+7", 7}, {"07", 7}, {"$7", 7}, {"x7", 7}, {"X7", 7}, {"0x7", 7},
        {"0X7", 7}, {"$E", 14}, {"0x0e", 14}, {"-1", -1}, {"-0", 0}, {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1}, {"$FFFFFFFF", -1}, {"  -12", -12},
    };
    for (const auto& [text, value] : cases) {
        const auto parsed = ParseWholeNumber(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        EXPECT_EQ(*parsed, value) << text;
    }
}

TEST(WholeNumber, RejectedForms) {
    for (const char* text : {"", " ", "abc", "7 ", "7a", "-", "+", "$", "0x", "-$7", "+x7", "$G",
                             "1,5", "2147483648", "-2147483649", "$100000000", "ab10", "\t7"}) {
        EXPECT_FALSE(ParseWholeNumber(text).has_value()) << '"' << text << '"';
    }
}
