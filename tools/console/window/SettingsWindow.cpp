#include "tools/console/window/SettingsWindow.h"

#include <commctrl.h>

#include <algorithm>
#include <iterator>
#include <system_error>
#include <utility>
#include <vector>

#include "text/JonoKasi2.h"
#include "tools/console/window/ControlIds.h"

// A setting field, its pick list, and the form's handlers and texts for them.
struct SettingField {
    int field;
    int list;
    void (TSarja1::*click)();
    void (TSarja1::*pick)(std::size_t);
    TListBox TSarja1::*pickList;
    std::string TSarja1::*text;
};

namespace {

constexpr SettingField kFields[] = {
    {IDC_NOPEUS, IDC_LISTANOP, &TSarja1::NopeusClick, &TSarja1::ListaNopClick, &TSarja1::ListaNop, &TSarja1::Nopeus},
    {IDC_DATA, IDC_LISTDATA, &TSarja1::DataClick, &TSarja1::ListDataClick, &TSarja1::ListData, &TSarja1::Data},
    {IDC_PARITEETTI, IDC_LISTPARITY, &TSarja1::PariteettiClick, &TSarja1::ListParityClick, &TSarja1::ListParity,
     &TSarja1::Pariteetti},
    {IDC_STOPBITTI, IDC_LISTSTOP, &TSarja1::StopBittiClick, &TSarja1::ListStopClick, &TSarja1::ListStop,
     &TSarja1::StopBitti},
};

// The controls that work only while the dialog is open; Tulo, the replies
// and the check's table always show, and Stop stops a check whenever one
// runs. Ask, Trigger and Poll also wait for the check to end.
constexpr int kDialogControls[] = {IDC_COMBOBOX1, IDC_NOPEUS,  IDC_DATA,    IDC_PARITEETTI, IDC_STOPBITTI,
                                   IDC_LISTANOP,  IDC_LISTDATA, IDC_LISTPARITY, IDC_LISTSTOP, IDOK,
                                   IDCANCEL,      IDC_LAHDATA, IDC_LAHETA,  IDC_LAHTO,      IDC_NOLLAA,
                                   IDC_STATION,   IDC_REPEAT};

constexpr UINT_PTR kLoopTimerId = 1;
constexpr UINT kFixedFontMessage = WM_APP + 1;
constexpr const char* kMessageCaption = "scalepoll-console";

const SettingField* FieldWith(int id) {
    for (const SettingField& field : kFields)
        if (field.field == id || field.list == id) return &field;
    return nullptr;
}

// True for WM_GETDLGCODE asking about the key `key` going down: a control
// that wants the key gets it instead of the dialog's default button or
// Cancel.
bool AsksForKey(LPARAM lParam, WPARAM key) {
    const auto* message = reinterpret_cast<const MSG*>(lParam);
    return message != nullptr && message->message == WM_KEYDOWN && message->wParam == key;
}

// A key a control acts on itself, and the character its key-down makes.
struct OwnKey {
    WPARAM virtualKey;
    WPARAM character;
};
constexpr OwnKey kEnter{VK_RETURN, '\r'};
constexpr OwnKey kEscape{VK_ESCAPE, '\x1b'};

// The control asks the dialog for the key, so that the dialog does not take
// it (Enter as OK, Esc as Cancel), acts on its key-down and swallows the
// character it makes. The message's answer when the message was one of
// those.
template <typename Action>
std::optional<LRESULT> TakeKey(OwnKey key, UINT message, WPARAM wParam, LPARAM lParam, Action action) {
    switch (message) {
        case WM_GETDLGCODE:
            if (AsksForKey(lParam, key.virtualKey)) return DLGC_WANTMESSAGE;
            break;
        case WM_KEYDOWN:
            if (wParam != key.virtualKey) break;
            action();
            return 0;
        case WM_CHAR:
            if (wParam == key.character) return 0;
            break;
        default: break;
    }
    return std::nullopt;
}

std::string TextOf(HWND control) {
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(control)) + 1, '\0');
    text.resize(static_cast<std::size_t>(GetWindowTextA(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

void SetTextOf(HWND control, const std::string& text) {
    if (TextOf(control) != text) SetWindowTextA(control, text.c_str());
}

std::string PortState(const TSarja1& form) {
    const std::string port = "COM" + std::to_string(form.SerialDriver.ComPort() + 1);
    return "in use: " + port + (form.SerialDriver.IsPortOpen() ? " (open)" : " (not open)");
}

LRESULT IndexOf(const std::vector<std::string>& items, const std::string& text) {
    const auto at = std::find(items.begin(), items.end(), text);
    return at == items.end() ? -1 : at - items.begin();
}

// The lines of an edit control, ended by CR LF.
std::string EditLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

bool IsTick(int id) { return id >= IDC_TICK1 && id < IDC_TICK1 + kStationCount; }

}  // namespace

SettingsWindow::SettingsWindow(EventLoop& loop, StationConsole& stations)
    : loop_(loop), stations_(stations), form_(stations.Sarja1) {
    stations_.OnChange = [this] {
        ShowReceived();
        ShowStations();
    };
    form_.OnMessage = [this](const std::string& text) { ShowMessage(text); };
    CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_SETTINGS), nullptr, DialogProc,
                       reinterpret_cast<LPARAM>(this));
    if (dialog_ == nullptr)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "cannot create the window");
    ShowWindow(dialog_, SW_SHOW);
}

SettingsWindow::~SettingsWindow() {
    form_.OnMessage = nullptr;
    stations_.OnChange = nullptr;
    loopTimer_.reset();
    if (IsWindow(dialog_)) DestroyWindow(dialog_);
    if (fixedFont_ != nullptr) DeleteObject(fixedFont_);
}

void SettingsWindow::Run() {
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (IsDialogMessageA(dialog_, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

INT_PTR CALLBACK SettingsWindow::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(dialog, GWLP_USERDATA, lParam);
        reinterpret_cast<SettingsWindow*>(lParam)->Initialise(dialog);
        return FALSE;  // the window has set the focus itself
    }
    auto* window = reinterpret_cast<SettingsWindow*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
    return window != nullptr ? window->Handle(message, wParam) : FALSE;
}

void SettingsWindow::Initialise(HWND dialog) {
    dialog_ = dialog;
    loopTimer_ = std::make_unique<LoopTimer>(loop_, dialog_, kLoopTimerId);
    for (const std::string& item : form_.ComboBox1.Items)
        SendMessageA(Control(IDC_COMBOBOX1), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
    for (const SettingField& field : kFields) {
        for (const std::string& item : (form_.*field.pickList).Items)
            SendMessageA(Control(field.list), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
        SetWindowSubclass(Control(field.field), ControlProc, static_cast<UINT_PTR>(field.field),
                          reinterpret_cast<DWORD_PTR>(this));
        SetWindowSubclass(Control(field.list), ControlProc, static_cast<UINT_PTR>(field.list),
                          reinterpret_cast<DWORD_PTR>(this));
    }
    SetWindowSubclass(Control(IDC_LAHDATA), ControlProc, IDC_LAHDATA, reinterpret_cast<DWORD_PTR>(this));
    SetWindowSubclass(Control(IDC_STATION), ControlProc, IDC_STATION, reinterpret_cast<DWORD_PTR>(this));
    SendMessageA(Control(IDC_STATION), EM_LIMITTEXT, 2, 0);
    SetText(IDC_LEGEND, TSarja1::LahDataLegend);
    UseFixedFont();
    Show();
    loopTimer_->Schedule();
}

INT_PTR SettingsWindow::Handle(UINT message, WPARAM wParam) {
    switch (message) {
        case WM_COMMAND: Command(LOWORD(wParam), HIWORD(wParam)); return TRUE;
        case WM_TIMER:
            if (loopTimer_ == nullptr || wParam != loopTimer_->Id()) return FALSE;
            loopTimer_->RunDue();
            Show();
            return TRUE;
        case WM_DPICHANGED:
            // The dialog manager scales the dialog's own font; the fixed one
            // follows once it has.
            PostMessageA(dialog_, kFixedFontMessage, 0, 0);
            return FALSE;
        case kFixedFontMessage: UseFixedFont(); return TRUE;
        case WM_CLOSE: DestroyWindow(dialog_); return TRUE;
        case WM_DESTROY: PostQuitMessage(0); return TRUE;
        default: return FALSE;
    }
}

// Every change the user makes goes to the form's handler; then the window
// shows the form again and follows the loop's timers, which opening or
// closing the port starts or stops.
void SettingsWindow::Command(int id, int code) {
    if (id == IDC_LAHDATA) {
        if (code == EN_CHANGE) form_.LahData = TextOf(Control(IDC_LAHDATA));
        return;
    }
    if (id == IDC_STATION) {
        if (code == EN_CHANGE) stations_.StationText = TextOf(Control(IDC_STATION));
        return;
    }
    if (IsTick(id) || id == IDC_REPEAT) {
        if (code != BN_CLICKED) return;
        const bool ticked = SendMessageA(Control(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
        if (id == IDC_REPEAT) stations_.Repeat = ticked;
        else stations_.Ticked[static_cast<std::size_t>(id - IDC_TICK1)] = ticked;
        return;
    }
    if (id == IDC_COMBOBOX1) {
        if (code != CBN_SELCHANGE) return;
        form_.ComboBox1.Select(static_cast<std::size_t>(SendMessageA(Control(id), CB_GETCURSEL, 0, 0)));
    } else if (const SettingField* field = FieldWith(id); field != nullptr && field->list == id) {
        // A selection the list made while handling its own keys or mouse only
        // marks an item; one made from outside (automation) is a pick.
        if (code == LBN_SELCHANGE && !listInput_) Pick(*field);
        return;
    } else if (code == BN_CLICKED) {
        switch (id) {
            case IDOK: stations_.OkClick(); break;
            case IDCANCEL:
                if (stations_.Checking()) stations_.StopClick();
                else form_.BitBtn2Click();
                break;
            case IDC_OPEN_AGAIN: form_.Visible = true; break;
            case IDC_LAHETA: form_.LahetaClick(); break;
            case IDC_NOLLAA: stations_.NollaaClick(); break;
            case IDC_ASK: stations_.AskClick(); break;
            case IDC_TRIGGER: stations_.TriggerClick(); break;
            case IDC_POLL: stations_.PollClick(); break;
            case IDC_STOP: stations_.StopClick(); break;
            default: return;
        }
    } else {
        return;
    }
    Show();
    loopTimer_->Schedule();
}

LRESULT CALLBACK SettingsWindow::ControlProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                             DWORD_PTR window) {
    if (message == WM_NCDESTROY) RemoveWindowSubclass(control, ControlProc, id);
    return reinterpret_cast<SettingsWindow*>(window)->HandleControl(control, static_cast<int>(id), message, wParam,
                                                                    lParam);
}

LRESULT SettingsWindow::HandleControl(HWND control, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    if (const SettingField* field = FieldWith(id)) {
        return id == field->field ? HandleField(*field, control, message, wParam, lParam)
                                  : HandleList(*field, control, message, wParam, lParam);
    }
    // The test text: Enter sends it, as Laheta does; the station: Enter asks it.
    const int button = id == IDC_STATION ? IDC_ASK : IDC_LAHETA;
    if (const auto answer = TakeKey(kEnter, message, wParam, lParam, [&] { Command(button, BN_CLICKED); }))
        return *answer;
    return DefSubclassProc(control, message, wParam, lParam);
}

// A setting field is read-only: a click or Enter opens its pick list.
LRESULT SettingsWindow::HandleField(const SettingField& field, HWND control, UINT message, WPARAM wParam,
                                    LPARAM lParam) {
    if (const auto answer = TakeKey(kEnter, message, wParam, lParam, [&] { OpenList(field); })) return *answer;
    if (message == WM_LBUTTONDOWN) {
        Focus(field.field);
        OpenList(field);
        return 0;
    }
    return DefSubclassProc(control, message, wParam, lParam);
}

// In an open pick list Up and Down (and the mouse held down) mark an item;
// a click released over an item or Enter picks it; Esc closes the list.
LRESULT SettingsWindow::HandleList(const SettingField& field, HWND control, UINT message, WPARAM wParam,
                                   LPARAM lParam) {
    if (const auto answer = TakeKey(kEnter, message, wParam, lParam, [&] { Pick(field); })) return *answer;
    if (const auto answer = TakeKey(kEscape, message, wParam, lParam, [&] { CloseList(field); })) return *answer;
    listInput_ = true;
    const LRESULT result = DefSubclassProc(control, message, wParam, lParam);
    listInput_ = false;
    if (message == WM_LBUTTONUP) {
        const LRESULT hit = SendMessageA(control, LB_ITEMFROMPOINT, 0, lParam);
        if (HIWORD(hit) == 0) {
            SendMessageA(control, LB_SETCURSEL, LOWORD(hit), 0);
            Pick(field);
        }
    }
    return result;
}

// One pick list is open at a time, as on the terminal.
void SettingsWindow::OpenList(const SettingField& field) {
    for (const SettingField& other : kFields)
        if (&other != &field) (form_.*other.pickList).Visible = false;
    (form_.*field.click)();
    Show();
    Focus(field.list);
}

void SettingsWindow::Pick(const SettingField& field) {
    const LRESULT index = SendMessageA(Control(field.list), LB_GETCURSEL, 0, 0);
    if (index < 0) return;
    (form_.*field.pick)(static_cast<std::size_t>(index));
    Show();
}

// The form has no handler for this: the list is simply hidden, as Esc does
// on the terminal.
void SettingsWindow::CloseList(const SettingField& field) {
    (form_.*field.pickList).Visible = false;
    Show();
}

// The box is modal: its own message loop runs until it is dismissed, and
// dispatches the loop timer's WM_TIMER meanwhile, so it is set first.
void SettingsWindow::ShowMessage(const std::string& text) {
    loopTimer_->Schedule();
    MessageBoxA(dialog_, text.c_str(), kMessageCaption, MB_OK | MB_ICONWARNING);
}

void SettingsWindow::Show() {
    SetTextOf(dialog_, std::string(TSarja1::Caption) + (form_.Visible ? "" : "  (closed)"));
    const HWND ports = Control(IDC_COMBOBOX1);
    const LRESULT port = IndexOf(form_.ComboBox1.Items, form_.ComboBox1.Text);
    if (SendMessageA(ports, CB_GETCURSEL, 0, 0) != port) SendMessageA(ports, CB_SETCURSEL, static_cast<WPARAM>(port), 0);
    for (const SettingField& field : kFields) SetText(field.field, form_.*field.text);
    SetText(IDC_LAHDATA, form_.LahData);
    SetText(IDC_LAHTO, form_.Lahto);
    SetText(IDC_STATION, stations_.StationText);
    ShowLists();
    ShowOpenOrClosed();
    ShowReceived();
    ShowStations();
}

// A list that opens shows the field's current item marked and takes the
// focus; one that closes gives the focus back to its field.
void SettingsWindow::ShowLists() {
    for (const SettingField& field : kFields) {
        const HWND list = Control(field.list);
        const TListBox& pickList = form_.*field.pickList;
        if (pickList.Visible == (IsWindowVisible(list) != FALSE)) continue;
        const bool focused = GetFocus() == list;
        if (pickList.Visible) {
            const LRESULT current = IndexOf(pickList.Items, form_.*field.text);
            SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(std::max<LRESULT>(current, 0)), 0);
        }
        ShowWindow(list, pickList.Visible ? SW_SHOW : SW_HIDE);
        if (focused) Focus(field.field);
    }
}

void SettingsWindow::ShowOpenOrClosed() {
    if (shownOpen_ == form_.Visible) return;
    shownOpen_ = form_.Visible;
    const bool open = form_.Visible;
    ShowWindow(Control(IDC_OPEN_AGAIN), open ? SW_HIDE : SW_SHOW);
    ShowWindow(Control(IDOK), open ? SW_SHOW : SW_HIDE);
    ShowWindow(Control(IDCANCEL), open ? SW_SHOW : SW_HIDE);
    for (const int id : kDialogControls) EnableWindow(Control(id), open);
    SendMessageA(dialog_, DM_SETDEFID, open ? IDOK : IDC_OPEN_AGAIN, 0);
    Focus(open ? IDC_COMBOBOX1 : IDC_OPEN_AGAIN);
}

// Tulo follows the form's text, scrolled to its newest bytes.
void SettingsWindow::ShowReceived() {
    if (form_.Tulo == shownTulo_) return;
    shownTulo_ = form_.Tulo;
    const HWND tulo = Control(IDC_TULO);
    SetWindowTextA(tulo, shownTulo_.c_str());
    const auto end = static_cast<WPARAM>(shownTulo_.size());
    SendMessageA(tulo, EM_SETSEL, end, static_cast<LPARAM>(end));
    SendMessageA(tulo, EM_SCROLLCARET, 0, 0);
}

// The decoded replies, the port's problem and the check follow the station
// console; the replies and the table scroll to their newest lines.
void SettingsWindow::ShowStations() {
    SetText(IDC_PORT_STATE, PortState(form_));
    SetText(IDC_PORT_PROBLEM, stations_.PortProblem());
    const auto trigger = stations_.LastTrigger();
    SetText(IDC_LAST_TRIGGER,
            trigger ? "last trigger: sequence " + IntToHexText(*trigger, 2) : std::string("no trigger sent yet"));
    std::vector<std::string> replies;
    for (const DecodedEntry& entry : stations_.Decoded()) {
        replies.push_back(entry.heading);
        if (!entry.readings.empty()) replies.push_back("    " + entry.readings);
    }
    const std::string text = EditLines(replies);
    if (text != shownReplies_) {
        shownReplies_ = text;
        const HWND list = Control(IDC_REPLIES);
        SetWindowTextA(list, text.c_str());
        SendMessageA(list, EM_LINESCROLL, 0, SendMessageA(list, EM_GETLINECOUNT, 0, 0));
    }
    ShowCheck();
}

void SettingsWindow::ShowCheck() {
    const bool open = form_.Visible;
    const bool checking = stations_.Checking();
    Enable(IDC_ASK, open && !checking, IDC_STATION);
    Enable(IDC_TRIGGER, open && !checking, IDC_STATION);
    Enable(IDC_POLL, open && !checking, IDC_STOP);
    Enable(IDC_STOP, checking, IDC_POLL);
    for (int n = 1; n <= kStationCount; ++n) {
        const WPARAM state = stations_.Ticked[static_cast<std::size_t>(n - 1)] ? BST_CHECKED : BST_UNCHECKED;
        SendMessageA(Control(IDC_TICK1 + n - 1), BM_SETCHECK, state, 0);
        EnableWindow(Control(IDC_TICK1 + n - 1), open);
    }
    SendMessageA(Control(IDC_REPEAT), BM_SETCHECK, stations_.Repeat ? BST_CHECKED : BST_UNCHECKED, 0);
    SetText(IDC_CHECK_STATE, stations_.CheckState());
    std::vector<std::string> lines = stations_.CheckTable();
    for (const std::string& result : stations_.ResultLines()) lines.push_back("result " + result);
    const std::string table = EditLines(lines);
    if (table == shownTable_) return;
    shownTable_ = table;
    const HWND edit = Control(IDC_CHECK_TABLE);
    SetWindowTextA(edit, table.c_str());
    SendMessageA(edit, EM_LINESCROLL, 0, SendMessageA(edit, EM_GETLINECOUNT, 0, 0));
}

// A button greyed while it has the focus hands it to the control that
// takes over (Stop for Poll, and back), not to whatever comes next.
void SettingsWindow::Enable(int id, bool enabled, int takesOver) {
    const HWND control = Control(id);
    if ((IsWindowEnabled(control) != FALSE) == enabled) return;
    const bool focused = GetFocus() == control;
    EnableWindow(control, enabled);
    if (!enabled && focused) {
        EnableWindow(Control(takesOver), TRUE);
        Focus(takesOver);
    }
}

// The replies and the check's table in a fixed-pitch font of the dialog's
// size, so that their columns line up.
void SettingsWindow::UseFixedFont() {
    LOGFONTA font{};
    GetObjectA(reinterpret_cast<HFONT>(SendMessageA(dialog_, WM_GETFONT, 0, 0)), sizeof font, &font);
    font.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
    font.lfWeight = FW_NORMAL;
    lstrcpynA(font.lfFaceName, "Courier New", LF_FACESIZE);
    const HFONT previous = std::exchange(fixedFont_, CreateFontIndirectA(&font));
    for (const int id : {IDC_REPLIES, IDC_CHECK_TABLE})
        SendMessageA(Control(id), WM_SETFONT, reinterpret_cast<WPARAM>(fixedFont_), TRUE);
    if (previous != nullptr) DeleteObject(previous);
}

void SettingsWindow::SetText(int id, const std::string& text) { SetTextOf(Control(id), text); }

void SettingsWindow::Focus(int id) {
    SendMessageA(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Control(id)), TRUE);
}
