#include "tools/console/Screen.h"

#include <curses.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "text/JonoKasi2.h"

namespace {

constexpr int kEscDelayMs = 25;
constexpr int kLabelX = 2;
constexpr int kFieldX = 14;
constexpr int kFieldWidth = 10;
constexpr int kTestTextWidth = 40;
constexpr int kSideX = kFieldX + kFieldWidth + 4;  // beside the setting fields
constexpr int kTestTextRow = 6;
constexpr int kStationRow = 8;
constexpr int kReceivedRow = 9;
constexpr int kReceivedRows = 2;
constexpr int kRepliesRow = kReceivedRow + 1 + kReceivedRows;
constexpr int kTicksRow = 5;
constexpr int kRepeatRow = 6;
constexpr int kTableRow = 8;

struct FieldPlace {
    Control control;
    const char* label;
    int row;
};
constexpr FieldPlace kFields[] = {{Control::Port, "Port", 1},          {Control::Speed, "Speed", 2},
                                  {Control::DataBits, "Data bits", 3}, {Control::Parity, "Parity", 4},
                                  {Control::StopBits, "Stop bits", 5}};

struct ButtonPlace {
    Control control;
    const char* text;
    int row;
    int column;
};
constexpr ButtonPlace kDialogButtons[] = {{Control::Ok, "[   OK   ]", 5, kSideX},
                                          {Control::Cancel, "[ Cancel ]", 5, kSideX + 12},
                                          {Control::Laheta, "[ Laheta ]", kTestTextRow + 1, kFieldX},
                                          {Control::Ask, "[ Ask ]", kStationRow, kFieldX + 6},
                                          {Control::Trigger, "[ Trigger ]", kStationRow, kFieldX + 15},
                                          {Control::Nollaa, "[ Nollaa ]", kReceivedRow, kFieldX}};
constexpr ButtonPlace kCheckButtons[] = {{Control::Poll, "[ Poll ]", kRepeatRow, kFieldX},
                                         {Control::Stop, "[ Stop ]", kRepeatRow, kFieldX + 10}};

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
        case KEY_F(2): return ConsoleKey{ConsoleKey::OtherPage};
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

// Text in rows of at most `width` from a place, broken after a blank where
// there is one, at most `rows` of them.
void PutWrapped(int row, int column, std::string_view text, int width, int rows) {
    const auto room = static_cast<std::size_t>(std::max(width, 1));
    for (int k = 0; k < rows && !text.empty(); ++k) {
        std::size_t length = std::min(text.size(), room);
        if (length < text.size()) {
            const std::size_t blank = text.substr(0, room).rfind(' ');
            if (blank != std::string_view::npos && blank > 0) length = blank + 1;
        }
        Put(row + k, column, text.substr(0, length));
        text.remove_prefix(length);
    }
}

std::string PortState(const TSarja1& form) {
    const std::string port = "COM" + std::to_string(form.SerialDriver.ComPort() + 1);
    return "in use: " + port + (form.SerialDriver.IsPortOpen() ? " (open)" : " (not open)");
}

void DrawTitle(const TSarja1& form, const DialogConsole& console) {
    std::string title = std::string(" ") + TSarja1::Caption + (form.Visible ? "" : "  (closed)");
    title += console.ShownPage() == Page::Dialog ? "  -  test console   (F2: line check)"
                                                 : "  -  line check   (F2: test console)";
    title.resize(static_cast<std::size_t>(std::max(COLS, 0)), ' ');
    Put(0, 0, title, A_REVERSE);
    Put(0, COLS - 19, "scalepoll-console", A_REVERSE);
}

// The port in use and, below it, why it cannot be opened or what failed.
void DrawPort(const StationConsole& stations, int column, int problemRows) {
    Put(1, column, PortState(stations.Sarja1));
    PutWrapped(2, column, stations.PortProblem(), COLS - column - 1, problemRows);
}

void DrawButtons(const ButtonPlace* first, const ButtonPlace* last, const TSarja1& form,
                 const DialogConsole& console) {
    for (const ButtonPlace* button = first; button != last; ++button)
        Put(button->row, button->column, button->text, FocusAttributes(console, form, button->control));
}

void DrawSettings(const TSarja1& form, const DialogConsole& console) {
    for (const FieldPlace& field : kFields) {
        Put(field.row, kLabelX, field.label);
        Put(field.row, kFieldX, Bracketed(console.FieldText(field.control), kFieldWidth),
            FocusAttributes(console, form, field.control));
    }
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

void DrawStation(const StationConsole& stations, const DialogConsole& console) {
    Put(kStationRow, kLabelX, "Station");
    Put(kStationRow, kFieldX, Bracketed(stations.StationText, 2),
        FocusAttributes(console, stations.Sarja1, Control::Station));
    const auto trigger = stations.LastTrigger();
    Put(kStationRow, kFieldX + 29,
        trigger ? "last trigger: sequence " + IntToHexText(*trigger, 2) : std::string("no trigger sent yet"));
}

// The latest part of the received bytes that fits, in full-width rows.
void DrawReceived(const TSarja1& form) {
    Put(kReceivedRow, kLabelX, "Received");
    const int width = COLS - 2 * kLabelX;
    if (width <= 0) return;
    const std::string& text = form.Tulo;
    const std::size_t rowCount = (text.size() + width - 1) / width;
    const std::size_t first = rowCount > kReceivedRows ? rowCount - kReceivedRows : 0;
    for (std::size_t row = first; row < rowCount; ++row)
        Put(kReceivedRow + 1 + static_cast<int>(row - first), kLabelX,
            std::string_view(text).substr(row * width, width));
}

// The latest decoded entries that fit, each its heading and its readings.
void DrawReplies(const StationConsole& stations) {
    Put(kRepliesRow, kLabelX, "Replies", A_BOLD);
    std::vector<std::string> rows;
    for (const DecodedEntry& entry : stations.Decoded()) {
        rows.push_back(entry.heading);
        if (!entry.readings.empty()) rows.push_back("    " + entry.readings);
    }
    const int room = LINES - 2 - kRepliesRow;
    const std::size_t first = rows.size() > static_cast<std::size_t>(std::max(room, 0)) ? rows.size() - room : 0;
    for (std::size_t k = first; k < rows.size(); ++k)
        Put(kRepliesRow + 1 + static_cast<int>(k - first), kLabelX, rows[k]);
}

void DrawTicks(const StationConsole& stations, const DialogConsole& console) {
    Put(kTicksRow - 1, kLabelX, "Stations to check");
    int column = kLabelX;
    for (int n = 1; n <= kStationCount; ++n) {
        const std::string tick = std::string(stations.Ticked[static_cast<std::size_t>(n - 1)] ? "[x]" : "[ ]") +
                                 std::to_string(n);
        const bool marked = console.Focus() == Control::Ticks && console.MarkedStation() == n;
        Put(kTicksRow, column, tick, marked && stations.Sarja1.Visible ? A_REVERSE : A_NORMAL);
        column += static_cast<int>(tick.size()) + 1;
    }
    Put(kRepeatRow, kLabelX, std::string(stations.Repeat ? "[x]" : "[ ]") + " Repeat",
        FocusAttributes(console, stations.Sarja1, Control::Repeat));
    Put(kRepeatRow, kFieldX + 20, stations.CheckState());
}

// The table, then the latest result lines that fit below it.
void DrawCheck(const StationConsole& stations) {
    const std::vector<std::string> table = stations.CheckTable();
    int row = kTableRow;
    for (std::size_t k = 0; k < table.size() && row < LINES - 1; ++k, ++row)
        Put(row, kLabelX, table[k], k == 0 ? A_BOLD : A_NORMAL);
    const auto& results = stations.ResultLines();
    const int room = std::max(LINES - 1 - row, 0);
    const std::size_t first = results.size() > static_cast<std::size_t>(room) ? results.size() - room : 0;
    for (std::size_t k = first; k < results.size(); ++k, ++row)
        Put(row, kLabelX, "result " + results[k]);
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
    const int width = std::min(static_cast<int>(std::max(message.size(), hint.size())) + 6, COLS);
    const int top = std::max(LINES / 2 - 3, 0);
    const int left = std::max((COLS - width) / 2, 0);
    DrawBox(top, left, 5, width);
    Put(top + 1, left + 3, message.substr(0, static_cast<std::size_t>(std::max(width - 6, 0))), A_BOLD);
    Put(top + 3, left + 3, hint);
}

std::string KeyHelp(const TSarja1& form, const DialogConsole& console, bool checking) {
    if (!console.Message().empty()) return "Any key: put the message away   F10: quit";
    if (!form.Visible) return "Enter: open the dialog again   q or F10: quit";
    if (console.OpenList() != nullptr) return "Up/Down: mark   Enter: pick   Esc: close the list   F10: quit";
    const std::string esc = checking ? "Esc: stop the check" : "Esc: Cancel";
    switch (console.Focus()) {
        case Control::TestText: return "Type the test text, Enter sends it   Tab/Shift-Tab: move   " + esc + "   F10: quit";
        case Control::Station: return "Station 1-14, Enter asks it   Tab/Shift-Tab: move   F2: line check   q: quit";
        case Control::Ticks: return "Left/Right: station   Space: tick   Tab/Shift-Tab: move   F2: page   " + esc;
        case Control::Repeat: return "Space: repeat until stopped   Tab/Shift-Tab: move   F2: page   " + esc;
        default: break;
    }
    return "Tab/Shift-Tab: move   Enter: list / press   F2: page   " + esc + "   q: quit";
}

// The terminal's cursor shows only while a text field is being edited.
void PlaceCursor(const TSarja1& form, const StationConsole& stations, const DialogConsole& console) {
    const bool editable = console.Focus() == Control::TestText || console.Focus() == Control::Station;
    const bool editing = form.Visible && editable && console.OpenList() == nullptr && console.Message().empty();
    curs_set(editing ? 1 : 0);
    if (!editing) return;
    if (console.Focus() == Control::Station) {
        move(kStationRow, kFieldX + 1 + static_cast<int>(std::min<std::size_t>(stations.StationText.size(), 1)));
        return;
    }
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

void Screen::Draw(const StationConsole& stations, const DialogConsole& console) {
    const TSarja1& form = stations.Sarja1;
    erase();
    DrawTitle(form, console);
    if (console.ShownPage() == Page::Dialog) {
        DrawPort(stations, kSideX, 3);
        DrawSettings(form, console);
        DrawButtons(std::begin(kDialogButtons), std::end(kDialogButtons), form, console);
        DrawTestText(form, console);
        DrawStation(stations, console);
        DrawReceived(form);
        DrawReplies(stations);
        DrawPickList(console);
    } else {
        DrawPort(stations, kLabelX, 2);
        DrawTicks(stations, console);
        DrawButtons(std::begin(kCheckButtons), std::end(kCheckButtons), form, console);
        DrawCheck(stations);
    }
    DrawMessage(console);
    Put(LINES - 1, 0, KeyHelp(form, console, stations.Checking()), A_DIM);
    PlaceCursor(form, stations, console);
    refresh();
}
