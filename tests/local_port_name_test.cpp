// Local port names in a port variable on Windows: which name a port of the
// machine, and which are a port that cannot be opened.
#include <gtest/gtest.h>

#include <utility>

#include "platform/LocalPortName.h"

TEST(LocalPortName, NamesOfTheMachinesPorts) {
    const std::pair<const char*, int> cases[] = {
        {"COM1", 1},   {"COM4", 4},   {"COM5", 5},   {"COM7", 7},           {"COM9", 9},
        {"COM10", 10}, {"COM12", 12}, {"COM99", 99}, {"COM256", 256},       {"com7", 7},
        {"Com12", 12}, {"cOm3", 3},   {"\\\\.\\COM12", 12}, {"\\\\.\\COM1", 1}, {"\\\\.\\com256", 256},
    };
    for (const auto& [text, number] : cases) EXPECT_EQ(ParseLocalPortName(text), number) << text;
}

TEST(LocalPortName, TextsThatNameNoPort) {
    const char* const cases[] = {
        "",          "COM",          "COM0",        "COM257",       "COM999",        "COM1000",
        "COM4294967297",             "COM07",       "COM-1",        "COM+7",         "COM 7",
        " COM7",     "COM7 ",        "COM7:",       "COM1a",        "COM\xB9",       "XYZ",
        "LPT1",      "CON",          "7",           "COMCOM7",      "\\\\.\\",       "\\\\.\\COM0",
        "\\\\.\\COM257",             "\\\\?\\COM12", "\\\\.COM12",  "\\.\\COM12",    "//./COM12",
        "\\\\.\\\\\\.\\COM12",       "/dev/ttyUSB0", "rfc2217://127.0.0.1:4001",
    };
    for (const char* text : cases) EXPECT_EQ(ParseLocalPortName(text), std::nullopt) << text;
}

TEST(LocalPortName, EveryPortOpensThroughTheDeviceNamespace) {
    EXPECT_EQ(LocalPortDevice(1), "\\\\.\\COM1");
    EXPECT_EQ(LocalPortDevice(12), "\\\\.\\COM12");
    EXPECT_EQ(LocalPortDevice(256), "\\\\.\\COM256");
}
