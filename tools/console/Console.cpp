#include "tools/console/Console.h"

#include <algorithm>
#include <cctype>
#include <iterator>

#include "text/WholeNumber.h"

namespace {

constexpr Control kTabOrder[] = {Control::Port,    Control::Speed,  Control::DataBits, Control::Parity,
                                 Control::StopBits, Control::Ok,    Control::Cancel,   Control::TestText,
                                 Control::Laheta,  Control::Station, Control::Ask,     Control::Trigger,
                                 Control::Nollaa,  Control::Ticks,  Control::Repeat,   Control::Poll,
                                 Control::Stop};

bool IsQuitLetter(const ConsoleKey& key) { return key.kind == ConsoleKey::Character && key.character == 'q'; }

}  // namespace

DialogConsole::DialogConsole(StationConsole& stations)
    : stations_(stations), form_(stations.Sarja1), cursor_(form_.LahData.size()) {
    form_.OnMessage = [this](const std::string& text) { message_ = text; };
}

void DialogConsole::Press(const ConsoleKey& key) {
    if (key.kind == ConsoleKey::Quit) {
        quitting_ = true;
    } else if (!message_.empty()) {
        message_.clear();  // any key puts the message away
    } else if (OpenList() != nullptr) {
        PressInList(key);
    } else if (key.kind == ConsoleKey::Escape && stations_.Checking()) {
        stations_.StopClick();  // Esc stops a check, whatever has the focus
    } else if (!form_.Visible) {
        if (key.kind == ConsoleKey::Enter) form_.Visible = true;
        if (IsQuitLetter(key)) quitting_ = true;
    } else {
        PressInDialog(key);
    }
}

const std::vector<std::string>* DialogConsole::OpenList() const {
    if (portListOpen_) return &form_.ComboBox1.Items;
    const TListBox* list = FieldList(focus_);
    return list != nullptr && list->Visible ? &list->Items : nullptr;
}

void DialogConsole::PressInList(const ConsoleKey& key) {
    const std::size_t count = OpenList()->size();
    switch (key.kind) {
        case ConsoleKey::Up: marked_ = marked_ > 0 ? marked_ - 1 : 0; break;
        case ConsoleKey::Down: marked_ = std::min(marked_ + 1, count - 1); break;
        case ConsoleKey::Enter: Pick(); break;
        case ConsoleKey::Escape: ClosePickList(); break;
        default: break;
    }
}

void DialogConsole::PressInDialog(const ConsoleKey& key) {
    switch (key.kind) {
        case ConsoleKey::Tab:
        case ConsoleKey::Down: MoveFocus(1); return;
        case ConsoleKey::BackTab:
        case ConsoleKey::Up: MoveFocus(-1); return;
        case ConsoleKey::Escape: form_.BitBtn2Click(); return;
        case ConsoleKey::Enter: Activate(); return;
        case ConsoleKey::OtherPage: focus_ = ShownPage() == Page::Dialog ? Control::Ticks : Control::Port; return;
        default: break;
    }
    const bool space = key.kind == ConsoleKey::Character && key.character == ' ';
    if (focus_ == Control::TestText) {
        EditTestText(key);
    } else if (focus_ == Control::Station && (key.kind != ConsoleKey::Character || std::isdigit(static_cast<unsigned char>(key.character)))) {
        EditStation(key);
    } else if (focus_ == Control::Ticks && (key.kind == ConsoleKey::Left || key.kind == ConsoleKey::Right)) {
        MoveTickMarker(key);
    } else if ((focus_ == Control::Ticks || focus_ == Control::Repeat) && space) {
        Activate();
    } else if (IsQuitLetter(key)) {
        quitting_ = true;
    }
}

// A digit typed into the station field adds to its number while that stays
// a station (at most 14), and otherwise starts a new number: 3, 1, 4 gives
// 14. Backspace takes the last digit back.
void DialogConsole::EditStation(const ConsoleKey& key) {
    std::string& text = stations_.StationText;
    if (key.kind == ConsoleKey::Character) {
        const auto longer = ParseWholeNumber(text + key.character);
        if (!longer || *longer > kStationCount) text.clear();
        text += key.character;
    } else if (key.kind == ConsoleKey::Backspace && !text.empty()) {
        text.pop_back();
    } else if (key.kind == ConsoleKey::Delete) {
        text.clear();
    }
}

void DialogConsole::MoveTickMarker(const ConsoleKey& key) {
    const int step = key.kind == ConsoleKey::Left ? -1 : 1;
    markedStation_ = std::clamp(markedStation_ + step, 1, kStationCount);
}

void DialogConsole::EditTestText(const ConsoleKey& key) {
    std::string& text = form_.LahData;
    cursor_ = std::min(cursor_, text.size());
    switch (key.kind) {
        case ConsoleKey::Character: text.insert(cursor_++, 1, key.character); break;
        case ConsoleKey::Backspace:
            if (cursor_ > 0) text.erase(--cursor_, 1);
            break;
        case ConsoleKey::Delete:
            if (cursor_ < text.size()) text.erase(cursor_, 1);
            break;
        case ConsoleKey::Left: cursor_ = cursor_ > 0 ? cursor_ - 1 : 0; break;
        case ConsoleKey::Right: cursor_ = std::min(cursor_ + 1, text.size()); break;
        case ConsoleKey::Home: cursor_ = 0; break;
        case ConsoleKey::End: cursor_ = text.size(); break;
        default: break;
    }
}

void DialogConsole::Activate() {
    switch (focus_) {
        case Control::Ok: stations_.OkClick(); break;
        case Control::Cancel: form_.BitBtn2Click(); break;
        case Control::TestText:
        case Control::Laheta: form_.LahetaClick(); break;
        case Control::Station:
        case Control::Ask: stations_.AskClick(); break;
        case Control::Trigger: stations_.TriggerClick(); break;
        case Control::Nollaa: stations_.NollaaClick(); break;
        case Control::Ticks: {
            bool& ticked = stations_.Ticked[static_cast<std::size_t>(markedStation_ - 1)];
            ticked = !ticked;
            break;
        }
        case Control::Repeat: stations_.Repeat = !stations_.Repeat; break;
        case Control::Poll: stations_.PollClick(); break;
        case Control::Stop: stations_.StopClick(); break;
        default: OpenPickList(); break;
    }
}

// Opens the focused field's list with its current text marked.
void DialogConsole::OpenPickList() {
    switch (focus_) {
        case Control::Speed: form_.NopeusClick(); break;
        case Control::DataBits: form_.DataClick(); break;
        case Control::Parity: form_.PariteettiClick(); break;
        case Control::StopBits: form_.StopBittiClick(); break;
        default: portListOpen_ = true; break;
    }
    const std::vector<std::string>& items = *OpenList();
    const auto current = std::find(items.begin(), items.end(), FieldText(focus_));
    marked_ = current == items.end() ? 0 : static_cast<std::size_t>(current - items.begin());
}

void DialogConsole::Pick() {
    switch (focus_) {
        case Control::Speed: form_.ListaNopClick(marked_); break;
        case Control::DataBits: form_.ListDataClick(marked_); break;
        case Control::Parity: form_.ListParityClick(marked_); break;
        case Control::StopBits: form_.ListStopClick(marked_); break;
        default:
            form_.ComboBox1.Select(marked_);
            portListOpen_ = false;
            break;
    }
}

void DialogConsole::ClosePickList() {
    portListOpen_ = false;
    if (TListBox* list = FieldList(focus_)) list->Visible = false;
}

void DialogConsole::MoveFocus(int step) {
    const auto count = static_cast<int>(std::size(kTabOrder));
    const auto at = static_cast<int>(std::find(std::begin(kTabOrder), std::end(kTabOrder), focus_) - kTabOrder);
    focus_ = kTabOrder[(at + step + count) % count];
}

TListBox* DialogConsole::FieldList(Control field) const {
    switch (field) {
        case Control::Speed: return &form_.ListaNop;
        case Control::DataBits: return &form_.ListData;
        case Control::Parity: return &form_.ListParity;
        case Control::StopBits: return &form_.ListStop;
        default: return nullptr;
    }
}

const std::string& DialogConsole::FieldText(Control field) const {
    switch (field) {
        case Control::Speed: return form_.Nopeus;
        case Control::DataBits: return form_.Data;
        case Control::Parity: return form_.Pariteetti;
        case Control::StopBits: return form_.StopBitti;
        default: return form_.ComboBox1.Text;
    }
}
