// SettingsWindow: the serial settings dialog (TSarja1) as a Windows dialog
// box, with the test console below the settings.
//
// The window is a view over the form, as the terminal screen is: the form
// holds every text and flag and its handlers do the work. The window turns
// clicks, keys and automation messages into those handlers and then shows
// the form again (Show). What the form has no place for lives in the window
// itself: the focus, the marked item of an open pick list, the message box.
// The window also runs the event loop's timers (LoopTimer), so received
// bytes go on appearing in Tulo while a message box is up.
//
// Closing the dialog (OK, Cancel, Esc) hides the form as on the terminal:
// the settings and the test send are greyed out, Tulo goes on showing what
// arrives, and "Open again" opens the dialog again. Closing the window ends
// the program.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/EventLoop.h"
#include "serial/Sarja1_u.h"
#include "tools/console/window/LoopTimer.h"

struct SettingField;

class SettingsWindow final : public ChunkReceiver {
public:
    // Creates and shows the window over `form`, which must outlive it.
    SettingsWindow(EventLoop& loop, TSarja1& form);
    ~SettingsWindow() override;
    SettingsWindow(const SettingsWindow&) = delete;
    SettingsWindow& operator=(const SettingsWindow&) = delete;

    // Runs the thread's message loop until the window is closed.
    void Run();
    void SarjaTulo(const std::string& chunk) override;

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
    void SetText(int id, const std::string& text);
    void Focus(int id);
    HWND Control(int id) const { return GetDlgItem(dialog_, id); }

    EventLoop& loop_;
    TSarja1& form_;
    HWND dialog_ = nullptr;
    std::unique_ptr<LoopTimer> loopTimer_;
    std::string shownTulo_;
    std::optional<bool> shownOpen_;  // whether the window shows the dialog open
    // Set while a pick list handles its own input: the selection changes it
    // makes then only mark an item.
    bool listInput_ = false;
};
