// The settings window's test driver: a small Windows program that finds the
// window by its caption and works its controls the way Windows automation
// does, with messages: select an item, click, set and read a text. It reads
// one command a line on standard input and answers each with one line, so a
// test script drives it step by step while it checks the line and files:
//
//   find                 waits for the window; "ok" or "missing"
//   caption              the window's caption
//   text ID              a control's text (a drop-down list: its selection)
//   set ID TEXT          sets a control's text, as typing would end up
//   click ID             clicks a button (posted: a handler may show a box)
//   press ID             a mouse click on a control, as messages
//   select ID ITEM       selects ITEM in a drop-down or pick list, notified
//   shown ID, enabled ID "yes" or "no"; ID 0 is the window itself
//   focus                the number of the control with the keyboard focus
//   rect ID              the control's place on the screen: LEFT TOP RIGHT BOTTOM
//   item-rect ID INDEX   the place of a pick list's item on the screen
//   message              the text of the message box the window shows, or "none"
//   dismiss              presses OK on that message box
//   close                closes the window
// An unknown command or control answers "error ...".
#include <windows.h>

#include <iostream>
#include <sstream>
#include <string>

namespace {

constexpr const char* kCaption = "Serial settings";
constexpr int kMessageTextId = 0xFFFF;  // the text of a system message box

HWND FindSettingsWindow() {
    for (int attempt = 0; attempt < 400; ++attempt) {
        if (const HWND window = FindWindowA("#32770", kCaption)) return window;
        Sleep(50);
    }
    return nullptr;
}

// Asked with WM_GETTEXT: GetWindowText does not ask another process's controls.
std::string TextOf(HWND window) {
    const auto length = static_cast<std::size_t>(SendMessageA(window, WM_GETTEXTLENGTH, 0, 0));
    std::string text(length + 1, '\0');
    text.resize(static_cast<std::size_t>(
        SendMessageA(window, WM_GETTEXT, static_cast<WPARAM>(text.size()), reinterpret_cast<LPARAM>(text.data()))));
    return text;
}

// The message box the window shows: a shown dialog of the same thread that
// the window owns.
HWND MessageBoxOf(HWND window) {
    struct Search {
        HWND owner;
        HWND box = nullptr;
    } search{window};
    EnumThreadWindows(
        GetWindowThreadProcessId(window, nullptr),
        [](HWND candidate, LPARAM found) -> BOOL {
            auto& wanted = *reinterpret_cast<Search*>(found);
            char className[16] = {};
            GetClassNameA(candidate, className, sizeof className);
            if (std::string(className) != "#32770" || GetWindow(candidate, GW_OWNER) != wanted.owner ||
                !IsWindowVisible(candidate))
                return TRUE;
            wanted.box = candidate;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.box;
}

std::string Place(RECT rect) {
    std::ostringstream text;
    text << rect.left << ' ' << rect.top << ' ' << rect.right << ' ' << rect.bottom;
    return text.str();
}

std::string Select(HWND window, int id, HWND control, const std::string& item) {
    char className[16] = {};
    GetClassNameA(control, className, sizeof className);
    const bool dropDown = std::string(className) == "ComboBox";
    const LRESULT index = SendMessageA(control, dropDown ? CB_FINDSTRINGEXACT : LB_FINDSTRINGEXACT,
                                       static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(item.c_str()));
    if (index < 0) return "error no item " + item;
    const WORD notification = dropDown ? CBN_SELCHANGE : LBN_SELCHANGE;
    // A user's pick selects and notifies within one message of the window's
    // thread; here they are two, and the window's loop timer may show the
    // form's own choice again between them. A drop-down whose pick did not
    // hold is picked again.
    for (int attempt = 0; attempt < 20; ++attempt) {
        SendMessageA(control, dropDown ? CB_SETCURSEL : LB_SETCURSEL, static_cast<WPARAM>(index), 0);
        SendMessageA(window, WM_COMMAND, MAKEWPARAM(id, notification), reinterpret_cast<LPARAM>(control));
        if (!dropDown || SendMessageA(control, CB_GETCURSEL, 0, 0) == index) return "ok";
    }
    return "error the pick of " + item + " did not hold";
}

std::string AnswerForControl(HWND window, const std::string& command, int id, const std::string& text) {
    const HWND control = id == 0 ? window : GetDlgItem(window, id);
    if (control == nullptr) return "error no control " + std::to_string(id);
    RECT rect{};
    if (command == "text") return TextOf(control);
    if (command == "shown") return IsWindowVisible(control) ? "yes" : "no";
    if (command == "enabled") return IsWindowEnabled(control) ? "yes" : "no";
    if (command == "set") {
        SendMessageA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
        return "ok";
    }
    if (command == "click") {
        PostMessageA(control, BM_CLICK, 0, 0);
        return "ok";
    }
    if (command == "press") {
        PostMessageA(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
        PostMessageA(control, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
        return "ok";
    }
    if (command == "select") return Select(window, id, control, text);
    if (command == "rect") {
        GetWindowRect(control, &rect);
        return Place(rect);
    }
    if (command == "item-rect") {
        if (SendMessageA(control, LB_GETITEMRECT, static_cast<WPARAM>(std::stoi(text)),
                         reinterpret_cast<LPARAM>(&rect)) == LB_ERR)
            return "error no item " + text;
        MapWindowPoints(control, nullptr, reinterpret_cast<POINT*>(&rect), 2);
        return Place(rect);
    }
    return "error unknown command " + command;
}

std::string Answer(HWND window, const std::string& command, std::istringstream& line) {
    if (command == "caption") return TextOf(window);
    if (command == "focus") {
        GUITHREADINFO thread{};
        thread.cbSize = sizeof thread;
        GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread);
        return std::to_string(thread.hwndFocus != nullptr ? GetDlgCtrlID(thread.hwndFocus) : 0);
    }
    if (command == "message") {
        const HWND box = MessageBoxOf(window);
        return box != nullptr ? TextOf(GetDlgItem(box, kMessageTextId)) : "none";
    }
    if (command == "dismiss") {
        const HWND box = MessageBoxOf(window);
        if (box == nullptr) return "error no message box";
        PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        return "ok";
    }
    if (command == "close") {
        PostMessageA(window, WM_CLOSE, 0, 0);
        return "ok";
    }
    int id = -1;
    line >> id;
    std::string text;
    std::getline(line >> std::ws, text);
    return AnswerForControl(window, command, id, text);
}

// An answer stays on one line whatever the control holds.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

}  // namespace

int main() {
    HWND window = nullptr;
    std::string input;
    while (std::getline(std::cin, input)) {
        std::istringstream line(input);
        std::string command;
        line >> command;
        std::string answer;
        if (command == "find") {
            window = FindSettingsWindow();
            answer = window != nullptr ? "ok" : "missing";
        } else if (window == nullptr) {
            answer = "error no window: find it first";
        } else {
            answer = Answer(window, command, line);
        }
        std::cout << OneLine(answer) << std::endl;
    }
    return 0;
}
