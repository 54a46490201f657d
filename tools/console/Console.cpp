#include "tools/console/Console.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr Control kTabOrder[] = {Control::Port,   Control::Speed,    Control::DataBits, Control::Parity,
                                 Control::StopBits, Control::Ok,     Control::Cancel,   Control::TestText,
                                 Control::Laheta, Control::Nollaa};

bool IsQuitLetter(const ConsoleKey& key) { return key.kind == ConsoleKey::Character && key.character == 'q'; }

}  // namespace

DialogConsole::DialogConsole(TSarja1& form) : form_(form), cursor_(form.LahData.size()) {
    form_.OnMessage = [this](const std::string& text) { message_ = text; };
}

void DialogConsole::Press(const ConsoleKey& key) {
    if (key.kind == ConsoleKey::Quit) {
        quitting_ = true;
    } else if (!message_.empty()) {
        message_.clear();  // any key puts the message away
    } else if (OpenList() != nullptr) {
        PressInList(key);
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
        default: break;
    }
    if (focus_ == Control::TestText) {
        EditTestText(key);
    } else if (IsQuitLetter(key)) {
        quitting_ = true;
    }
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
        case Control::Ok: form_.BitBtn1Click(); break;
        case Control::Cancel: form_.BitBtn2Click(); break;
        case Control::TestText:
        case Control::Laheta: form_.LahetaClick(); break;
        case Control::Nollaa: form_.NollaaClick(); break;
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
