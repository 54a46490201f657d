// DialogConsole: the settings dialog (TSarja1) worked with the keyboard alone.
//
// It keeps what the form itself has no place for: which control has the
// focus, which pick list is open and which of its items is marked, where the
// cursor stands in the test text, and the message the form last showed. Every
// key press becomes one of the form's handlers or a move between controls;
// the screen draws the form and this state. Nothing here knows the terminal.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "serial/Sarja1_u.h"

// A key press as the console understands it, whatever the terminal sent.
struct ConsoleKey {
    enum Kind { Character, Up, Down, Left, Right, Home, End, Tab, BackTab, Enter, Escape, Backspace, Delete, Quit };
    Kind kind;
    char character = 0;  // for Character: a printable character
};

// The dialog's controls, in the order Tab moves through them.
enum class Control { Port, Speed, DataBits, Parity, StopBits, Ok, Cancel, TestText, Laheta, Nollaa };

class DialogConsole {
public:
    explicit DialogConsole(TSarja1& form);

    void Press(const ConsoleKey& key);

    bool Quitting() const { return quitting_; }
    Control Focus() const { return focus_; }
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
    void Activate();
    void OpenPickList();
    void Pick();
    void ClosePickList();
    void MoveFocus(int step);
    // The form's pick list of a setting field, or nullptr for the port.
    TListBox* FieldList(Control field) const;

    TSarja1& form_;
    Control focus_ = Control::Port;
    bool portListOpen_ = false;
    std::size_t marked_ = 0;
    std::size_t cursor_;
    std::string message_;
    bool quitting_ = false;
};
