// The settings dialog: pick lists, saving SARJA1.INI and applying it, and
// the test send. Every test runs in a temporary directory of its own, since
// saving writes SARJA1.INI into the current directory.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>

#include "serial/Sarja1_u.h"
#include "tests/support/FakeSerialPorts.h"
#include "tests/support/TemporaryDirectory.h"

namespace fs = std::filesystem;

namespace {

// Files this process writes may grow to `bytes` and no further while it
// lives: a write past that fails as on a full disk (EFBIG, its signal ignored).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &previous_);
        const rlimit limited{bytes, previous_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limited);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit previous_{};
    void (*previousHandler_)(int);
};

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

    // The names in the test's directory.
    static std::set<std::string> Names() {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(".")) names.insert(entry.path().filename().string());
        return names;
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

// What a save that fails must leave: the earlier file as it was, no new file
// beside it, the port untouched and the dialog open.
TEST_F(DialogFixture, SaveThatFailsLeavesTheEarlierFileWhole) {
    const std::string earlier = "COM2\r\n4800\r\n7\r\n1\r\n2\r\nTesti\r\n";
    auto expectFailedSave = [&](const char* message, const std::function<void()>& click) {
        StartWith("COM1");
        messages.clear();
        click();
        EXPECT_EQ(messages, std::vector<std::string>{message});
        EXPECT_EQ(sarja1.PorttiNo, "COM1");
        EXPECT_TRUE(line.calls.empty());
        EXPECT_TRUE(sarja1.Visible);
        EXPECT_EQ(Names(), std::set<std::string>{"SARJA1.INI"}) << message;
    };

    // The disk takes only the first 16 bytes of the new file, as a full disk would.
    std::ofstream("SARJA1.INI", std::ios::binary) << earlier;
    expectFailedSave("Cannot write SARJA1.INI: File too large", [&] {
        const FileSizeLimit limit(16);
        sarja1.BitBtn1Click();
    });
    EXPECT_EQ(SettingsFile(), earlier);

    fs::remove("SARJA1.INI");
    fs::create_directory("SARJA1.INI");
    std::ofstream("SARJA1.INI/kept") << earlier;
    expectFailedSave("Cannot write SARJA1.INI: Is a directory", [&] { sarja1.BitBtn1Click(); });
    std::ifstream kept("SARJA1.INI/kept", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), earlier);
}

TEST_F(DialogFixture, SaveIntoAFolderTheUserMayNotWriteToLeavesTheEarlierFile) {
    if (geteuid() == 0) GTEST_SKIP() << "the superuser writes anywhere; ctest runs this as a normal user too";
    const std::string earlier = "COM2\r\n4800\r\n7\r\n1\r\n2\r\nTesti\r\n";
    std::ofstream("SARJA1.INI", std::ios::binary) << earlier;
    fs::permissions(directory.Path(), fs::perms::owner_write, fs::perm_options::remove);
    StartWith("COM1");
    sarja1.BitBtn1Click();
    fs::permissions(directory.Path(), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(messages, std::vector<std::string>{"Cannot write SARJA1.INI: Permission denied"});
    EXPECT_EQ(SettingsFile(), earlier);
    EXPECT_TRUE(line.calls.empty());
    EXPECT_TRUE(sarja1.Visible);
}

// A link planted under the settings file's name would otherwise have the save
// write wherever it points.
TEST_F(DialogFixture, LinkPlantedAsTheSettingsFileIsReplacedNotFollowed) {
    fs::create_directory("elsewhere");
    std::ofstream("elsewhere/precious", std::ios::binary) << "not the settings";
    const char* const targets[] = {"elsewhere/precious", "elsewhere/not-yet-there", "/dev/full"};
    for (const char* target : targets) {
        fs::remove("SARJA1.INI");
        fs::create_symlink(fs::absolute(target), "SARJA1.INI");
        StartWith("COM1");
        sarja1.BitBtn1Click();
        EXPECT_TRUE(messages.empty()) << target;
        // Not read through a link that was left: /dev/full reads without end.
        ASSERT_TRUE(fs::is_regular_file(fs::symlink_status("SARJA1.INI"))) << target;
        EXPECT_EQ(SettingsFile(), "COM3\r\n9600\r\n8\r\n0\r\n1\r\nTesti\r\n") << target;
    }
    std::ifstream precious("elsewhere/precious", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(precious), {}), "not the settings");
    EXPECT_FALSE(fs::exists("elsewhere/not-yet-there"));
    EXPECT_EQ(Names(), (std::set<std::string>{"SARJA1.INI", "elsewhere"}));
}
