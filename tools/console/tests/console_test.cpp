// The console's keys on the dialog: editing the test text, pick lists, and
// which keys quit. No terminal: keys go straight to DialogConsole.
#include <gtest/gtest.h>

#include "poll/Frames.h"
#include "tests/support/FakeSerialPorts.h"
#include "tests/support/TemporaryDirectory.h"
#include "tools/console/Console.h"

namespace {

void Press(DialogConsole& console, ConsoleKey::Kind kind, int times = 1) {
    for (int k = 0; k < times; ++k) console.Press({kind});
}

// Tests that press OK write SARJA1.INI: they run in a directory of their own.
struct ConsoleFixture : ::testing::Test {
    TemporaryDirectory directory;
    VirtualTime time;
    EventLoop loop{time};
    FakeSerialPorts line{time};
    StationConsole stations{loop, line};
    TSarja1& form = stations.Sarja1;
    DialogConsole console{stations};

    ConsoleFixture() { form.Visible = true; }

    void Press(ConsoleKey::Kind kind, int times = 1) { ::Press(console, kind, times); }
    void Type(const std::string& text) {
        for (char c : text) console.Press({ConsoleKey::Character, c});
    }
};

// From the port, on past the settings, OK and Cancel.
void FocusTestText(DialogConsole& console) { Press(console, ConsoleKey::Tab, 7); }

}  // namespace

TEST_F(ConsoleFixture, TestTextEditsAtTheCursor) {
    struct Case {
        std::vector<ConsoleKey> keys;
        const char* text;
        std::size_t cursor;
    };
    using K = ConsoleKey;
    const Case cases[] = {
        {{{K::Character, 'x'}}, "&at#10#13x", 10},
        {{{K::Home}, {K::Character, 'x'}}, "x&at#10#13", 1},
        {{{K::Home}, {K::Backspace}, {K::Left}}, "&at#10#13", 0},
        {{{K::Home}, {K::Delete}, {K::Right}}, "at#10#13", 1},
        {{{K::End}, {K::Left}, {K::Left}, {K::Backspace}}, "&at#1013", 6},
        // q is a letter of the test text, not the quit key.
        {{{K::End}, {K::Delete}, {K::Right}, {K::Character, 'q'}}, "&at#10#13q", 10},
    };
    for (const Case& c : cases) {
        form.LahData = "&at#10#13";
        DialogConsole fresh(stations);  // its cursor starts at the end
        FocusTestText(fresh);
        ASSERT_EQ(fresh.Focus(), Control::TestText);
        for (const ConsoleKey& key : c.keys) fresh.Press(key);
        EXPECT_EQ(form.LahData, c.text);
        EXPECT_EQ(fresh.Cursor(), c.cursor) << c.text;
        EXPECT_FALSE(fresh.Quitting());
    }
}

TEST_F(ConsoleFixture, EnterInTheTestTextSendsIt) {
    form.AsetaComm();  // COM2, the default
    FocusTestText(console);
    Press(ConsoleKey::End);
    Press(ConsoleKey::Backspace, 9);
    Type("#2&10?M#13#4");
    Press(ConsoleKey::Enter);
    EXPECT_EQ(line.written, std::string("\x02" "10?M\x0D\x04", 7));
    EXPECT_EQ(form.Lahto, "<2>10?M<13><4>");
}

TEST_F(ConsoleFixture, PickListsOpenAtTheCurrentTextAndEscLeavesTheField) {
    form.Nopeus = "2400";
    Press(ConsoleKey::Down);  // Speed
    Press(ConsoleKey::Enter);
    ASSERT_EQ(console.OpenList(), &form.ListaNop.Items);
    EXPECT_EQ(console.Marked(), 2u);
    Press(ConsoleKey::Down, 9);  // stops at the last item
    EXPECT_EQ(console.Marked(), 5u);
    Press(ConsoleKey::Escape);
    EXPECT_EQ(console.OpenList(), nullptr);
    EXPECT_EQ(form.Nopeus, "2400");
    EXPECT_TRUE(form.Visible);  // Esc closed the list, not the dialog

    Press(ConsoleKey::Up);  // Port: a text not in the list marks the first item
    form.ComboBox1.Text = "COM12";
    Press(ConsoleKey::Enter);
    EXPECT_EQ(console.Marked(), 0u);
    Press(ConsoleKey::Down);
    Press(ConsoleKey::Enter);
    EXPECT_EQ(form.ComboBox1.Text, "COM2");
    EXPECT_EQ(console.OpenList(), nullptr);
}

TEST_F(ConsoleFixture, MessagesWaitForAKeyAndTheClosedDialogOpensWithEnter) {
    line.missing = {3};
    Press(ConsoleKey::Tab, 5);  // OK
    Press(ConsoleKey::Enter);
    EXPECT_EQ(console.Message(), TSarja1::PortNotAvailable);
    EXPECT_FALSE(form.Visible);
    Type("q");  // puts the message away, nothing more
    EXPECT_TRUE(console.Message().empty());
    EXPECT_FALSE(console.Quitting());
    Press(ConsoleKey::Enter);
    EXPECT_TRUE(form.Visible);
    Type("q");
    EXPECT_TRUE(console.Quitting());
}

TEST_F(ConsoleFixture, StationToolsAndTheLineCheckFromTheKeyboard) {
    form.AsetaComm();
    Press(ConsoleKey::Tab, 9);
    ASSERT_EQ(console.Focus(), Control::Station);
    struct Case {
        const char* typed;
        const char* field;
    };
    Press(ConsoleKey::Backspace);
    // Digits add up to a station number, or start a new one past 14.
    for (const Case& c : {Case{"12", "12"}, Case{"3", "3"}, Case{"14", "14"}}) {
        Type(c.typed);
        EXPECT_EQ(stations.StationText, c.field) << c.typed;
    }
    Press(ConsoleKey::Backspace);
    Type("7");
    EXPECT_EQ(stations.StationText, "7");
    Press(ConsoleKey::Enter);
    EXPECT_NE(line.written.find(ReadRequest(7)), std::string::npos);
    Type("q");
    EXPECT_TRUE(console.Quitting());
}

TEST_F(ConsoleFixture, TheCheckPageTicksStationsAndEscStopsTheCheckBeforeItCancels) {
    form.AsetaComm();
    Press(ConsoleKey::OtherPage);
    EXPECT_EQ(console.ShownPage(), Page::Check);
    Press(ConsoleKey::Right, 20);  // stops at station 14
    Type(" ");
    Press(ConsoleKey::Left);
    Press(ConsoleKey::Enter);
    EXPECT_TRUE(stations.Ticked[13]);
    EXPECT_TRUE(stations.Ticked[12]);
    EXPECT_EQ(std::count(stations.Ticked.begin(), stations.Ticked.end(), true), 2);
    Press(ConsoleKey::Tab);
    Type(" ");
    EXPECT_TRUE(stations.Repeat);
    Press(ConsoleKey::Tab);
    Press(ConsoleKey::Enter);
    EXPECT_TRUE(stations.Checking());
    Press(ConsoleKey::Escape);
    EXPECT_FALSE(stations.Checking());
    EXPECT_TRUE(form.Visible);
    Press(ConsoleKey::Escape);
    EXPECT_FALSE(form.Visible);
    Press(ConsoleKey::Enter);
    Press(ConsoleKey::OtherPage);
    EXPECT_EQ(console.Focus(), Control::Port);
}
