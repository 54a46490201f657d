#include "tools/console/Screen.h"

#include <curses.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr int kEscDelayMs = 25;
constexpr int kLabelX = 2;
constexpr int kFieldX = 14;
constexpr int kFieldWidth = 10;
constexpr int kTestTextWidth = 40;
constexpr int kButtonRow = 8;
constexpr int kTestTextRow = 10;
constexpr int kReceivedRow = 13;

struct FieldPlace {
    Control control;
    const char* label;
    int row;
};
constexpr FieldPlace kFields[] = {{Control::Port, "Port", 2},          {Control::Speed, "Speed", 3},
                                  {Control::DataBits, "Data bits", 4}, {Control::Parity, "Parity", 5},
                                  {Control::StopBits, "Stop bits", 6}};

struct ButtonPlace {
    Control control;
    const char* text;
    int row;
    int column;
};
constexpr ButtonPlace kButtons[] = {{Control::Ok, "[   OK   ]", kButtonRow, kFieldX},
                                    {Control::Cancel, "[ Cancel ]", kButtonRow, kFieldX + 12},
                                    {Control::Laheta, "[ Laheta ]", kTestTextRow + 1, kFieldX},
                                    {Control::Nollaa, "[ Nollaa ]", kReceivedRow, kFieldX}};

std::optional<ConsoleKey> Translate(int code) {
    switch (code) {
        case KEY_UP: return ConsoleKey{ConsoleKey::Up};
        case KEY_DOWN: return ConsoleKey{ConsoleKey::Down};
        case KEY_LEFT: return ConsoleKey{ConsoleKey::Left};
        case KEY_RIGHT: return ConsoleKey{ConsoleKey::Right};
        case KEY_HOME: return ConsoleKey{ConsoleKey::Home};
        case KEY_END: return ConsoleKey{ConsoleKey::End};
        case '\t': return ConsoleKey{ConsoleKey::Tab};
        case KEY_BTAB: return ConsoleKey{ConsoleKey::BackTab};
        case '\r':
        case '\n':
        case KEY_ENTER: return ConsoleKey{ConsoleKey::Enter};
        case 27: return ConsoleKey{ConsoleKey::Escape};
        case KEY_BACKSPACE:
        case 8:
        case 127: return ConsoleKey{ConsoleKey::Backspace};
        case KEY_DC: return ConsoleKey{ConsoleKey::Delete};
        case KEY_F(10):
        case 3: return ConsoleKey{ConsoleKey::Quit};  // F10 or Ctrl-C
        default: break;
    }
    if (code >= 32 && code <= 126) return ConsoleKey{ConsoleKey::Character, static_cast<char>(code)};
    return std::nullopt;
}

// Writes text at a place, cut off at the screen's right edge.
void Put(int row, int column, std::string_view text, attr_t attributes = A_NORMAL) {
    if (row < 0 || row >= LINES || column >= COLS) return;
    const int length = std::min(static_cast<int>(text.size()), COLS - column);
    attron(attributes);
    mvaddnstr(row, column, text.data(), length);
    attroff(attributes);
}

attr_t FocusAttributes(const DialogConsole& console, const TSarja1& form, Control control) {
    return form.Visible && console.Focus() == control ? A_REVERSE : A_NORMAL;
}

std::string Padded(std::string_view text, int width) {
    std::string shown(text.substr(0, static_cast<std::size_t>(width)));
    shown.resize(static_cast<std::size_t>(width), ' ');
    return shown;
}

// A field's text padded in its brackets. Built by appending: GCC 12 at -O3
// reports a false -Wrestrict for "[" + text (GCC bug 105329).
std::string Bracketed(std::string_view text, int width) {
    return std::string(1, '[').append(Padded(text, width)).append(1, ']');
}

std::string PortState(const TSarja1& form) {
    const std::string port = "COM" + std::to_string(form.SerialDriver.ComPort() + 1);
    return "in use: " + port + (form.SerialDriver.IsPortOpen() ? " (open)" : " (not open)");
}

void DrawTitle(const TSarja1& form) {
    std::string title = std::string(" ") + TSarja1::Caption + (form.Visible ? "" : "  (closed)");
    title.resize(static_cast<std::size_t>(std::max(COLS, 0)), ' ');
    Put(0, 0, title, A_REVERSE);
    Put(0, COLS - 19, "scalepoll-console", A_REVERSE);
}

void DrawSettings(const TSarja1& form, const DialogConsole& console) {
    for (const FieldPlace& field : kFields) {
        Put(field.row, kLabelX, field.label);
        Put(field.row, kFieldX, Bracketed(console.FieldText(field.control), kFieldWidth),
            FocusAttributes(console, form, field.control));
    }
    Put(kFields[0].row, kFieldX + kFieldWidth + 4, PortState(form));
}

void DrawButtons(const TSarja1& form, const DialogConsole& console) {
    for (const ButtonPlace& button : kButtons)
        Put(button.row, button.column, button.text, FocusAttributes(console, form, button.control));
}

// The test text scrolls within its field so that the cursor stays in sight.
void DrawTestText(const TSarja1& form, const DialogConsole& console) {
    Put(kTestTextRow, kLabelX, "Test text");
    const std::size_t cursor = std::min(console.Cursor(), form.LahData.size());
    const std::size_t width = kTestTextWidth;
    const std::size_t first = cursor >= width ? cursor - width + 1 : 0;
    Put(kTestTextRow, kFieldX, Bracketed(std::string_view(form.LahData).substr(first), kTestTextWidth),
        FocusAttributes(console, form, Control::TestText));
    Put(kTestTextRow, kFieldX + kTestTextWidth + 4, TSarja1::LahDataLegend);
    Put(kTestTextRow + 1, kFieldX + 12, "Lahto: " + form.Lahto);
}

// The latest part of the received bytes that fits, in full-width rows.
void DrawReceived(const TSarja1& form) {
    Put(kReceivedRow, kLabelX, "Received");
    const int top = kReceivedRow + 1;
    const int rows = LINES - 2 - top;
    const int width = COLS - 2 * kLabelX;
    if (rows <= 0 || width <= 0) return;
    const std::string& text = form.Tulo;
    const std::size_t rowCount = (text.size() + width - 1) / width;
    const std::size_t first = rowCount > static_cast<std::size_t>(rows) ? rowCount - rows : 0;
    for (std::size_t row = first; row < rowCount; ++row)
        Put(top + static_cast<int>(row - first), kLabelX, std::string_view(text).substr(row * width, width));
}

void DrawBox(int top, int left, int height, int width) {
    for (int row = top; row < top + height; ++row) Put(row, left, std::string(static_cast<std::size_t>(width), ' '));
    if (top + height > LINES || left + width > COLS) return;
    WINDOW* frame = derwin(stdscr, height, width, top, left);
    if (frame == nullptr) return;
    box(frame, 0, 0);
    delwin(frame);
}

// The open pick list beside its field, the marked item in reverse.
void DrawPickList(const DialogConsole& console) {
    const std::vector<std::string>* items = console.OpenList();
    if (items == nullptr) return;
    int row = 1;
    for (const FieldPlace& field : kFields)
        if (field.control == console.Focus()) row = field.row;
    const int left = kFieldX + kFieldWidth + 3;
    const int height = static_cast<int>(items->size()) + 2;
    DrawBox(row, left, height, kFieldWidth + 2);
    for (std::size_t k = 0; k < items->size(); ++k)
        Put(row + 1 + static_cast<int>(k), left + 1, Padded((*items)[k], kFieldWidth),
            k == console.Marked() ? A_REVERSE : A_NORMAL);
}

void DrawMessage(const DialogConsole& console) {
    const std::string& message = console.Message();
    if (message.empty()) return;
    const std::string hint = "any key goes on";
    const int width = static_cast<int>(std::max(message.size(), hint.size())) + 6;
    const int top = std::max(LINES / 2 - 3, 0);
    const int left = std::max((COLS - width) / 2, 0);
    DrawBox(top, left, 5, width);
    Put(top + 1, left + 3, message, A_BOLD);
    Put(top + 3, left + 3, hint);
}

std::string KeyHelp(const TSarja1& form, const DialogConsole& console) {
    if (!console.Message().empty()) return "Any key: put the message away   F10: quit";
    if (!form.Visible) return "Enter: open the dialog again   q or F10: quit";
    if (console.OpenList() != nullptr) return "Up/Down: mark   Enter: pick   Esc: close the list   F10: quit";
    if (console.Focus() == Control::TestText)
        return "Type the test text, Enter sends it   Tab/Down, Shift-Tab/Up: move   Esc: Cancel   F10: quit";
    return "Tab/Down, Shift-Tab/Up: move   Enter: open list / press   Esc: Cancel   q or F10: quit";
}

// The terminal's cursor shows only while the test text is being edited.
void PlaceCursor(const TSarja1& form, const DialogConsole& console) {
    const bool editing = form.Visible && console.Focus() == Control::TestText && console.OpenList() == nullptr &&
                         console.Message().empty();
    curs_set(editing ? 1 : 0);
    if (!editing) return;
    const int cursor = static_cast<int>(std::min(console.Cursor(), form.LahData.size()));
    move(kTestTextRow, kFieldX + 1 + std::min(cursor, kTestTextWidth - 1));
}

// A terminal that hung up (its window closed, its connection lost) gives no
// more keys; with SIGHUP ignored nothing else would end the console, which
// would then hold the serial port for ever.
bool TerminalHungUp() {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    int ready;
    do {
        ready = poll(&input, 1, 0);
    } while (ready < 0 && errno == EINTR);  // a terminal resize is no hang-up
    return ready < 0 || (input.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace

std::unique_ptr<Screen> Screen::Open() {
    if (isatty(STDIN_FILENO) == 0 || isatty(STDOUT_FILENO) == 0) return nullptr;
    screen* terminal = newterm(nullptr, stdout, stdin);
    if (terminal == nullptr) return nullptr;
    raw();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(kEscDelayMs);
    return std::make_unique<Screen>(terminal);
}

Screen::~Screen() {
    endwin();
    delscreen(terminal_);
}

std::vector<ConsoleKey> Screen::ReadKeys() {
    if (TerminalHungUp()) return {ConsoleKey{ConsoleKey::Quit}};
    std::vector<ConsoleKey> keys;
    for (int code = getch(); code != ERR; code = getch())
        if (const auto key = Translate(code)) keys.push_back(*key);
    return keys;
}

void Screen::Draw(const TSarja1& form, const DialogConsole& console) {
    erase();
    DrawTitle(form);
    DrawSettings(form, console);
    DrawButtons(form, console);
    DrawTestText(form, console);
    DrawReceived(form);
    DrawPickList(console);
    DrawMessage(console);
    Put(LINES - 1, 0, KeyHelp(form, console), A_DIM);
    PlaceCursor(form, console);
    refresh();
}
