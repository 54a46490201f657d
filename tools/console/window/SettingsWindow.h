// SettingsWindow: the serial settings dialog (TSarja1) and its station tools
// (StationConsole) as a Windows dialog box: the test console with Ask,
// Trigger and the decoded replies below the settings, the line check below
// that.
//
// The window is a view over the form and the station console, as the
// terminal screen is: they hold every text and flag and their handlers do
// the work. The window turns
// clicks, keys and automation messages into those handlers and then shows
// the form again (Show). What the form has no place for lives in the window
// itself: the focus, the marked item of an open pick list, the message box.
// The window also runs the event loop's timers (LoopTimer), so received
// bytes go on appearing in Tulo while a message box is up.
//
// Closing the dialog (OK, Cancel, Esc) hides the form as on the terminal:
// the settings, the test send and the station tools are greyed out, Tulo
// goes on showing what arrives, and "Open again" opens the dialog again.
// While a check runs, Cancel (and so Esc) stops it first. Closing the window
// ends the program.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/EventLoop.h"
#include "serial/StationConsole.h"
#include "tools/console/window/LoopTimer.h"

struct SettingField;

class SettingsWindow final {
public:
    // Creates and shows the window over `stations`, which must outlive it.
    SettingsWindow(EventLoop& loop, StationConsole& stations);
    ~SettingsWindow();
    SettingsWindow(const SettingsWindow&) = delete;
    SettingsWindow& operator=(const SettingsWindow&) = delete;

    // Runs the thread's message loop until the window is closed.
    void Run();

private:
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK ControlProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam,
                                        UINT_PTR id, DWORD_PTR window);
    void Initialise(HWND dialog);
    INT_PTR Handle(UINT message, WPARAM wParam);
    void Command(int id, int code);
    LRESULT HandleControl(HWND control, int id, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleField(const SettingField& field, HWND control, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleList(const SettingField& field, HWND control, UINT message, WPARAM wParam, LPARAM lParam);
    void OpenList(const SettingField& field);
    void Pick(const SettingField& field);
    void CloseList(const SettingField& field);
    void ShowMessage(const std::string& text);

    // Puts the form's state into the controls.
    void Show();
    void ShowLists();
    void ShowOpenOrClosed();
    void ShowReceived();
    void ShowStations();
    void ShowCheck();
    void Enable(int id, bool enabled, int takesOver);
    void UseFixedFont();
    void SetText(int id, const std::string& text);
    void Focus(int id);
    HWND Control(int id) const { return GetDlgItem(dialog_, id); }

    EventLoop& loop_;
    StationConsole& stations_;
    TSarja1& form_;
    HFONT fixedFont_ = nullptr;  // the replies and the check's table, in columns
    HWND dialog_ = nullptr;
    std::unique_ptr<LoopTimer> loopTimer_;
    std::string shownTulo_;
    std::string shownReplies_;
    std::string shownTable_;
    std::optional<bool> shownOpen_;  // whether the window shows the dialog open
    // Set while a pick list handles its own input: the selection changes it
    // makes then only mark an item.
    bool listInput_ = false;
};
