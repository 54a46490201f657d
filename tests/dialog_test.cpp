// The settings dialog: pick lists, saving SARJA1.INI and applying it, and
// the test send. Every test runs in a temporary directory of its own, since
// saving writes SARJA1.INI into the current directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "serial/Sarja1_u.h"
#include "tests/support/FakeSerialPorts.h"
#include "tests/support/TemporaryDirectory.h"

namespace fs = std::filesystem;

namespace {

struct DialogFixture : ::testing::Test {
    TemporaryDirectory directory;
    VirtualTime time;
    EventLoop loop{time};
    FakeSerialPorts line{time};
    TSarja1 sarja1{loop, line};
    std::vector<std::string> messages;

    DialogFixture() {
        sarja1.OnMessage = [this](const std::string& text) { messages.push_back(text); };
    }

    // As the tool starts: the command line's settings applied, then the dialog shown.
    void StartWith(const char* port) {
        sarja1.PorttiNo = port;
        sarja1.Nopeus = "9600";
        sarja1.Data = "8";
        sarja1.Pariteetti = "None";
        sarja1.StopBitti = "1";
        sarja1.AsetaComm();
        sarja1.Visible = true;
        line.calls.clear();
    }

    static std::string SettingsFile() {
        std::ifstream file("SARJA1.INI", std::ios::binary);
        std::ostringstream bytes;
        bytes << file.rdbuf();
        return bytes.str();
    }
};

}  // namespace

TEST_F(DialogFixture, TestTextsGoOutInOneBlock) {
    struct Case {
        const char* text;
        std::string bytes;
        const char* lahto;
    };
    const Case cases[] = {
        {"&at#10#13", "at\x0A\x0D", "at<10><13>"},
        {"#2&hello#13", "\x02hello\x0D", "<2>hello<13>"},
        {"#300", "\x2C", "<300>"},
        {"#-1", "\xFF", "<-1>"},
        {"#$41", "A", "<$41>"},
        {"#0x7e", "~", "<0x7e>"},
        {"#010", "\x0A", "<010>"},
        {"# 7", "\x07", "< 7>"},
        {"#0", std::string(1, '\0'), "<0>"},
        {"&12", "12", "12"},
        {"&a b", "a b", "a b"},
        {"&&a##66", "aB", "a<66>"},
        // Text before the first marker waits for one, then joins its piece.
        {"ab&cd", "abcd", "abcd"},
        {"at", "", ""},
        // ... and is never sent when that marker ends the text.
        {"ab&", "", ""},
        {"12#", "", ""},
        {"2l1#", "", ""},
        {"", "", ""},
        {"#&", "", ""},
        {"&", "", ""},
    };
    for (const Case& c : cases) {
        StartWith("COM1");
        line.written.clear();
        sarja1.LahData = c.text;
        sarja1.LahetaClick();
        EXPECT_EQ(line.written, c.bytes) << c.text;
        EXPECT_EQ(sarja1.Lahto, c.lahto) << c.text;
        const std::vector<std::string> oneWrite{"write " + std::to_string(c.bytes.size())};
        EXPECT_EQ(line.calls, c.bytes.empty() ? std::vector<std::string>{} : oneWrite) << c.text;
    }
    EXPECT_TRUE(messages.empty());
}

TEST_F(DialogFixture, DecimalPieceThatIsNoNumberStopsTheWholeSend) {
    const std::pair<const char*, const char*> cases[] = {
        {"ab#10", "'ab10' is not a valid number"},
        {"&ok#1 2&more", "'1 2' is not a valid number"},
        {"#7#$", "'$' is not a valid number"},
        {"#99999999999", "'99999999999' is not a valid number"},
    };
    for (const auto& [text, message] : cases) {
        StartWith("COM1");
        messages.clear();
        sarja1.Lahto = "before";
        sarja1.LahData = text;
        sarja1.LahetaClick();
        EXPECT_EQ(messages, std::vector<std::string>{message}) << text;
        EXPECT_EQ(sarja1.Lahto, "before") << text;
        EXPECT_TRUE(line.written.empty()) << text;
    }
}

TEST_F(DialogFixture, TestSendWithThePortClosedStillShowsTheEcho) {
    line.missing = {1};
    StartWith("COM1");
    sarja1.LahetaClick();
    EXPECT_EQ(sarja1.Lahto, "at<10><13>");
    EXPECT_TRUE(line.calls.empty());
}

TEST_F(DialogFixture, PickListsChangeOnlyTheTexts) {
    StartWith("COM1");
    EXPECT_FALSE(sarja1.ListStop.Visible);
    sarja1.StopBittiClick();
    EXPECT_TRUE(sarja1.ListStop.Visible);
    sarja1.ListStopClick(1);
    EXPECT_EQ(sarja1.StopBitti, "2");
    EXPECT_FALSE(sarja1.ListStop.Visible);

    sarja1.NopeusClick();
    sarja1.ListaNopClick(6);  // past the last item, "19200": nothing happens
    EXPECT_EQ(sarja1.Nopeus, "9600");
    EXPECT_TRUE(sarja1.ListaNop.Visible);
    sarja1.ListaNopClick(1);
    EXPECT_EQ(sarja1.Nopeus, "1200");  // there is no "600" to pick

    sarja1.PariteettiClick();
    sarja1.ListParityClick(3);
    EXPECT_EQ(sarja1.Pariteetti, "Mark");
    sarja1.DataClick();
    sarja1.ListDataClick(0);  // 7 data bits keep the parity
    EXPECT_EQ(sarja1.Data, "7");
    EXPECT_EQ(sarja1.Pariteetti, "Mark");
    sarja1.DataClick();
    sarja1.ListDataClick(1);  // 8 data bits go without parity
    EXPECT_EQ(sarja1.Data, "8");
    EXPECT_EQ(sarja1.Pariteetti, "None");

    EXPECT_TRUE(line.calls.empty());
    EXPECT_EQ(line.state.baudRate, 9600u);
}

TEST_F(DialogFixture, SettingsFileHoldsOneLinePerSettingWithParityAsItsPickListPlace) {
    const std::pair<const char*, std::string> cases[] = {
        {"None", "COM3\r\n4800\r\n7\r\n0\r\n2\r\nTesti\r\n"},
        {"Even", "COM3\r\n4800\r\n7\r\n1\r\n2\r\nTesti\r\n"},
        {"Odd", "COM3\r\n4800\r\n7\r\n2\r\n2\r\nTesti\r\n"},
        {"Mark", "COM3\r\n4800\r\n7\r\n3\r\n2\r\nTesti\r\n"},
        {"Space", "COM3\r\n4800\r\n7\r\n4\r\n2\r\nTesti\r\n"},
        // A parity text that is none of the five leaves its line out.
        {"even", "COM3\r\n4800\r\n7\r\n2\r\nTesti\r\n"},
    };
    std::ofstream("SARJA1.INI") << "an earlier, longer settings file\r\n" << std::string(100, 'x');
    for (const auto& [parity, bytes] : cases) {
        StartWith("COM1");
        sarja1.Nopeus = "4800";
        sarja1.Data = "7";
        sarja1.Pariteetti = parity;
        sarja1.StopBitti = "2";
        sarja1.BitBtn1Click();
        EXPECT_EQ(SettingsFile(), bytes) << parity;
    }
}

TEST_F(DialogFixture, SavingWithoutTouchingThePortChoiceAppliesCom3) {
    StartWith("COM1");
    sarja1.NopeusClick();
    sarja1.ListaNopClick(0);
    sarja1.BitBtn1Click();
    EXPECT_EQ(SettingsFile().substr(0, 11), "COM3\r\n300\r\n");
    EXPECT_EQ(sarja1.PorttiNo, "COM3");
    EXPECT_EQ(line.calls.front(), "close");
    EXPECT_EQ(line.calls[1], "open 3");
    EXPECT_TRUE(sarja1.SerialDriver.IsPortOpen());
    EXPECT_EQ(line.state.baudRate, 300u);
    EXPECT_FALSE(sarja1.Visible);
    EXPECT_TRUE(messages.empty());
}

TEST_F(DialogFixture, SavingAPortAsetaCommDoesNotKnowReopensThePreviousOne) {
    StartWith("COM2");
    sarja1.ComboBox1.Select(6);
    sarja1.ListStopClick(1);
    sarja1.BitBtn1Click();
    EXPECT_EQ(SettingsFile().substr(0, 6), "COM7\r\n");
    EXPECT_EQ(sarja1.PorttiNo, "COM7");
    EXPECT_EQ(line.calls.front(), "close");
    EXPECT_EQ(line.calls[1], "open 2");
    EXPECT_EQ(line.state.stopBits, 2);
    EXPECT_FALSE(sarja1.Visible);
}

TEST_F(DialogFixture, PortThatCannotBeOpenedIsReportedAndTheDialogStillCloses) {
    StartWith("COM1");
    line.missing = {3};
    sarja1.BitBtn1Click();
    EXPECT_EQ(messages, std::vector<std::string>{" Port is not available !  "});
    EXPECT_EQ(std::count(line.calls.begin(), line.calls.end(), "open 3"), 2);
    EXPECT_FALSE(sarja1.Visible);
}

TEST_F(DialogFixture, SettingsFileThatCannotBeWrittenStopsTheSave) {
    struct Case {
        void (*prepare)();
        const char* message;
    };
    const Case cases[] = {
        {[] { fs::create_directory("SARJA1.INI"); }, "Cannot write SARJA1.INI: Is a directory"},
        {[] { fs::create_symlink("/dev/full", "SARJA1.INI"); }, "Cannot write SARJA1.INI: No space left on device"},
    };
    for (const Case& c : cases) {
        fs::remove_all("SARJA1.INI");
        c.prepare();
        StartWith("COM1");
        messages.clear();
        sarja1.BitBtn1Click();
        EXPECT_EQ(messages, std::vector<std::string>{c.message});
        EXPECT_EQ(sarja1.PorttiNo, "COM1");
        EXPECT_TRUE(line.calls.empty());
        EXPECT_TRUE(sarja1.Visible);
    }
}
