// DialogConsole: the settings dialog and its station tools (StationConsole,
// over the form TSarja1) worked with the keyboard alone.
//
// It keeps what the form itself has no place for: which control has the
// focus, which pick list is open and which of its items is marked, where the
// cursor stands in the test text, which station the tick marker is on, and
// the message the form last showed. Every key press becomes one of the
// handlers or a move between controls; the screen draws the form, the
// station console and this state. Nothing here knows the terminal.
//
// The controls fall on two pages of the screen, the dialog with the test
// console and the line check; the page shown is the focused control's, and
// F2 moves to the other page.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "serial/Sarja1_u.h"
#include "serial/StationConsole.h"

// A key press as the console understands it, whatever the terminal sent.
struct ConsoleKey {
    enum Kind { Character, Up, Down, Left, Right, Home, End, Tab, BackTab, Enter, Escape, Backspace, Delete, Quit,
                OtherPage };
    Kind kind;
    char character = 0;  // for Character: a printable character
};

// The controls, in the order Tab moves through them: the dialog's page up
// to Nollaa, then the line check's.
enum class Control {
    Port, Speed, DataBits, Parity, StopBits, Ok, Cancel, TestText, Laheta, Station, Ask, Trigger, Nollaa,
    Ticks, Repeat, Poll, Stop
};
enum class Page { Dialog, Check };

class DialogConsole {
public:
    explicit DialogConsole(StationConsole& stations);

    void Press(const ConsoleKey& key);

    bool Quitting() const { return quitting_; }
    Control Focus() const { return focus_; }
    Page ShownPage() const { return focus_ >= Control::Ticks ? Page::Check : Page::Dialog; }
    // The station (1 to 14) the tick marker is on.
    int MarkedStation() const { return markedStation_; }
    // The items of the open pick list, or nullptr when none is open.
    const std::vector<std::string>* OpenList() const;
    std::size_t Marked() const { return marked_; }
    std::size_t Cursor() const { return cursor_; }
    // The message the form showed, until the next key press.
    const std::string& Message() const { return message_; }
    // The text a setting field shows; the port's is the port choice.
    const std::string& FieldText(Control field) const;

private:
    void PressInList(const ConsoleKey& key);
    void PressInDialog(const ConsoleKey& key);
    void EditTestText(const ConsoleKey& key);
    void EditStation(const ConsoleKey& key);
    void MoveTickMarker(const ConsoleKey& key);
    void Activate();
    void OpenPickList();
    void Pick();
    void ClosePickList();
    void MoveFocus(int step);
    // The form's pick list of a setting field, or nullptr for the port.
    TListBox* FieldList(Control field) const;

    StationConsole& stations_;
    TSarja1& form_;
    Control focus_ = Control::Port;
    int markedStation_ = 1;
    bool portListOpen_ = false;
    std::size_t marked_ = 0;
    std::size_t cursor_;
    std::string message_;
    bool quitting_ = false;
};
