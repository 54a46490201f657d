// Inputs with which the fuzz targets in fuzz/ found faults, kept as plain tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/Sarja1_u.h"
#include "tests/support/FakeSerialPorts.h"

// test_send_fuzz: text before the first marker is not sent when that marker
// ends the test text, although "ab&cd" sends "abcd": the marker's piece never
// comes, and nothing before it has a mode. The test send is defined that way.
TEST(FuzzFindings, TextBeforeAFirstMarkerAtTheEndIsNotSent) {
    struct Case {
        const char* text;
        std::string bytes;
        const char* lahto;
        const char* message;
    };
    const Case cases[] = {
        {"ab&", "", "", nullptr},
        {"12#", "", "", nullptr},
        {"2l1#", "", "", nullptr},
    };
    for (const Case& c : cases) {
        VirtualTime time;
        EventLoop loop(time);
        FakeSerialPorts line(time);
        TSarja1 sarja1(loop, line);
        std::vector<std::string> messages;
        sarja1.OnMessage = [&messages](const std::string& message) { messages.push_back(message); };
        sarja1.PorttiNo = "COM1";
        sarja1.AsetaComm();
        sarja1.Lahto = "before";
        sarja1.LahData = c.text;
        sarja1.LahetaClick();
        EXPECT_EQ(line.written, c.bytes) << c.text;
        EXPECT_EQ(sarja1.Lahto, c.lahto) << c.text;
        EXPECT_EQ(messages, c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{}) << c.text;
    }
}
