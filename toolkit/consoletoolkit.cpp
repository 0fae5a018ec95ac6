#include "toolkit/consoletoolkit.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace vbc::platform {
namespace {

constexpr int kBarWidth = 40;
constexpr int kCaptionedBarWidth = 10;
constexpr std::string_view kProgressClass = "QProgressBar";

bool Blank(const std::string& text) {
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

}  // namespace

ConsoleToolkit::ConsoleToolkit(std::FILE* out, std::FILE* err, bool progressBar)
    : out_(out), err_(err), progressBar_(progressBar && err != nullptr) {}

ConsoleToolkit::~ConsoleToolkit() {
    EraseBar();
}

// ---- lookups ----

ConsoleToolkit::Panel* ConsoleToolkit::FindPanel(int panel) {
    auto it = panels_.find(panel);
    return it == panels_.end() ? nullptr : &it->second;
}

const ConsoleToolkit::Panel* ConsoleToolkit::FindPanel(int panel) const {
    auto it = panels_.find(panel);
    return it == panels_.end() ? nullptr : &it->second;
}

ConsoleToolkit::Control* ConsoleToolkit::FindControl(int panel, int control) {
    Panel* p = FindPanel(panel);
    if (!p) return nullptr;
    auto it = p->controls.find(control);
    return it == p->controls.end() ? nullptr : &it->second;
}

const ConsoleToolkit::Control* ConsoleToolkit::FindControl(int panel, int control) const {
    const Panel* p = FindPanel(panel);
    if (!p) return nullptr;
    auto it = p->controls.find(control);
    return it == p->controls.end() ? nullptr : &it->second;
}

// ---- output ----

void ConsoleToolkit::EraseBar() {
    if (!barShown_) return;
    if (escapes_) {
        std::fputs("\r\033[K", err_);
    } else {
        std::string blank(barLength_ + 2, ' ');
        blank.front() = '\r';
        blank.back() = '\r';
        std::fputs(blank.c_str(), err_);
    }
    std::fflush(err_);
    barShown_ = false;
}

void ConsoleToolkit::DrawBar() {
    if (!progressBar_ || barPercent_ <= 0 || barPercent_ >= 100) return;
    const int width = caption_.empty() ? kBarWidth : kCaptionedBarWidth;
    const int filled = barPercent_ * width / 100;
    // The line is rewritten in place: what a shorter caption leaves behind is cleared.
    std::string bar = caption_.empty() || !escapes_ ? "\r[" : "\r\033[K[";
    bar.append(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '.');
    bar += "] " + std::to_string(barPercent_) + " %";
    if (!caption_.empty()) bar += "  " + caption_;
    const std::size_t length = bar.size() - 1;
    if (!escapes_ && length < barLength_) bar.append(barLength_ - length, ' ');
    barLength_ = length;
    std::fputs(bar.c_str(), err_);
    std::fflush(err_);
    barShown_ = true;
}

void ConsoleToolkit::Line(Output kind, const std::string& text) {
    if (sink_) {
        sink_(kind, text);
        return;
    }
    const bool redraw = barShown_;
    EraseBar();
    if (out_) {
        std::fputs(text.c_str(), out_);
        std::fputc('\n', out_);
        std::fflush(out_);
    }
    if (redraw) DrawBar();
}

void ConsoleToolkit::Progress(int percent) {
    if (!progressBar_) return;
    percent = std::clamp(percent, 0, 100);
    if (percent == barPercent_) return;
    barPercent_ = percent;
    // Nothing to show before the first byte, and a full bar is done: either way the line is
    // left clean for what follows.
    if (percent == 0 || percent == 100) {
        EraseBar();
        return;
    }
    DrawBar();
}

// ---- panels and menu bars ----

int ConsoleToolkit::LoadPanel(int, const std::string& resourceFile, int panelResourceId) {
    const std::string_view xml = UiResource(resourceFile, panelResourceId);
    UiPanelInfo info;
    if (xml.empty() || !ReadUiPanel(xml, &info)) return kUiErrNoResource;
    Panel p;
    p.panelText = UiLabelText(xml, kPanelTextObject);
    for (const UiControlInfo& c : info.controls) {
        Control control;
        control.className = c.className;
        control.callback = c.callback;
        if (c.currentIndex >= 0 && static_cast<std::size_t>(c.currentIndex) < c.itemValues.size())
            control.value = c.itemValues[static_cast<std::size_t>(c.currentIndex)];
        p.controls[c.id] = std::move(control);
        p.order.push_back(c.id);
    }
    const int handle = nextHandle_++;
    panels_[handle] = std::move(p);
    return handle;
}

int ConsoleToolkit::DisplayPanel(int panel) {
    Panel* p = FindPanel(panel);
    if (!p) return kUiErrBadHandle;
    if (p->displayed) return 0;
    p->displayed = true;
    if (!Blank(p->panelText)) Line(Output::kPanelText, p->panelText);
    for (int id : p->order) {
        const Control& c = p->controls[id];
        if (c.hasText && !Blank(c.text)) Line(Output::kPanelText, c.text);
    }
    return 0;
}

int ConsoleToolkit::DiscardPanel(int panel) {
    if (panels_.erase(panel) == 0) return kUiErrBadHandle;
    // Its menu bar goes with it.
    std::erase_if(menuBars_, [panel](const auto& m) { return m.second.panel == panel; });
    return 0;
}

int ConsoleToolkit::LoadMenuBar(int panel, const std::string& resourceFile, int menuBarResourceId) {
    if (!FindPanel(panel)) return kUiErrBadHandle;
    const std::string_view xml = UiMenuBarResource(resourceFile, menuBarResourceId);
    MenuBar m;
    m.panel = panel;
    if (xml.empty() || !ReadUiPanel(xml, &m.info)) return kUiErrNoResource;
    // A panel carries one menu bar: a new one replaces the one it had.
    std::erase_if(menuBars_, [panel](const auto& e) { return e.second.panel == panel; });
    const int handle = nextHandle_++;
    menuBars_[handle] = std::move(m);
    return handle;
}

int ConsoleToolkit::DiscardMenuBar(int menuBar) {
    return menuBars_.erase(menuBar) == 0 ? kUiErrBadHandle : 0;
}

int ConsoleToolkit::SetMenuBarAttribute(int menuBar, int menuItem, int attribute, int value) {
    auto it = menuBars_.find(menuBar);
    if (it == menuBars_.end()) return kUiErrBadHandle;
    MenuBar& m = it->second;
    if (menuItem == 0) {
        if (attribute != ATTR_DIMMED) return kUiErrNotSupported;
        m.dimmed = value != 0;
        return 0;
    }
    const UiMenuItemInfo* item = m.info.MenuItem(menuItem);
    if (!item) return kUiErrBadHandle;
    if (attribute == ATTR_DIMMED) {
        m.dimmedItems[menuItem] = value != 0;
    } else if (attribute == ATTR_CHECKED && item->checkable) {
        m.checkedItems[menuItem] = value != 0;
    } else {
        return kUiErrNotSupported;
    }
    return 0;
}

int ConsoleToolkit::GetMenuBarAttribute(int menuBar, int menuItem, int attribute, int* value) {
    auto it = menuBars_.find(menuBar);
    if (it == menuBars_.end()) return kUiErrBadHandle;
    const MenuBar& m = it->second;
    bool on = false;
    if (menuItem == 0) {
        if (attribute != ATTR_DIMMED) return kUiErrNotSupported;
        on = m.dimmed;
    } else {
        const UiMenuItemInfo* item = m.info.MenuItem(menuItem);
        if (!item) return kUiErrBadHandle;
        const std::map<int, bool>* states = nullptr;
        if (attribute == ATTR_DIMMED) {
            states = &m.dimmedItems;
        } else if (attribute == ATTR_CHECKED && item->checkable) {
            states = &m.checkedItems;
        } else {
            return kUiErrNotSupported;
        }
        auto s = states->find(menuItem);
        on = s != states->end() && s->second;
    }
    if (value) *value = on ? 1 : 0;
    return 0;
}

// ---- event loop ----

int ConsoleToolkit::RunUserInterface() {
    quitCode_ = 0;
    if (runHook_) runHook_();
    return quitCode_;
}

int ConsoleToolkit::QuitUserInterface(int returnCode) {
    quitCode_ = returnCode;
    return 0;
}

int ConsoleToolkit::ProcessSystemEvents() {
    // Events come only from the operator's methods, never from a queue.
    return 0;
}

// ---- controls ----

int ConsoleToolkit::SetCtrlVal(int panel, int control, int value) {
    Control* c = FindControl(panel, control);
    if (!c) return kUiErrBadHandle;
    c->hasText = false;
    c->text.clear();
    c->value = value;
    if (c->className == kProgressClass) Progress(value);
    return 0;
}

int ConsoleToolkit::SetCtrlVal(int panel, int control, const std::string& text) {
    Control* c = FindControl(panel, control);
    if (!c) return kUiErrBadHandle;
    c->hasText = true;
    c->text = text;
    if (panel == captionPanel_ && control == captionControl_ && text != caption_) {
        caption_ = text;
        if (barShown_) DrawBar();
    }
    return 0;
}

int ConsoleToolkit::GetCtrlVal(int panel, int control, int* value) {
    const Control* c = FindControl(panel, control);
    if (!c) return kUiErrBadHandle;
    if (c->hasText) return kUiErrNotSupported;
    if (value) *value = c->value;
    return 0;
}

int ConsoleToolkit::SetCtrlAttribute(int panel, int control, int attribute, int value) {
    Control* c = FindControl(panel, control);
    if (!c) return kUiErrBadHandle;
    if (attribute != ATTR_DIMMED) return kUiErrNotSupported;
    c->dimmed = value != 0;
    return 0;
}

int ConsoleToolkit::SetCtrlAttribute(int panel, int control, int attribute,
                                     const std::string& text) {
    Control* c = FindControl(panel, control);
    if (!c) return kUiErrBadHandle;
    if (attribute != ATTR_LABEL_TEXT && attribute != ATTR_STATUS_TEXT) return kUiErrNotSupported;
    std::string& current = c->textAttributes[attribute];
    const bool changed = current != text;
    current = text;
    if (attribute == ATTR_STATUS_TEXT && changed && !Blank(text)) Line(Output::kStatusText, text);
    return 0;
}

int ConsoleToolkit::InsertListItem(int panel, int control, int index, const std::string& label,
                                   int) {
    Control* c = FindControl(panel, control);
    if (!c) return kUiErrBadHandle;
    const int size = static_cast<int>(c->listLines.size());
    if (index == -1) index = size;
    if (index < 0 || index > size) return kUiErrOutOfRange;
    c->listLines.insert(c->listLines.begin() + index, label);
    Line(Output::kListLine, label);
    return 0;
}

int ConsoleToolkit::SetCtrlIndex(int panel, int control, int index) {
    Control* c = FindControl(panel, control);
    if (!c) return kUiErrBadHandle;
    if (index < 0 || index >= static_cast<int>(c->listLines.size())) return kUiErrOutOfRange;
    c->listIndex = index;
    return 0;
}

int ConsoleToolkit::ResetTextBox(int panel, int control, const std::string& text) {
    Control* c = FindControl(panel, control);
    if (!c) return kUiErrBadHandle;
    c->textBoxLines.clear();
    if (!text.empty()) c->textBoxLines.push_back(text);
    return 0;
}

int ConsoleToolkit::InsertTextBoxLine(int panel, int control, int index, const std::string& text) {
    Control* c = FindControl(panel, control);
    if (!c) return kUiErrBadHandle;
    const int size = static_cast<int>(c->textBoxLines.size());
    if (index == -1) index = size;
    if (index < 0 || index > size) return kUiErrOutOfRange;
    c->textBoxLines.insert(c->textBoxLines.begin() + index, text);
    return 0;
}

// ---- popups ----

int ConsoleToolkit::MessagePopup(const std::string&, const std::string& message) {
    Line(Output::kPopup, message);
    return 0;
}

int ConsoleToolkit::ConfirmPopup(const std::string&, const std::string&) {
    return confirmAnswer_;
}

int ConsoleToolkit::FileSelectPopup(const std::string&, const std::string&, int,
                                    std::string* chosenPath) {
    if (!fileAnswer_) return 0;
    if (chosenPath) *chosenPath = *fileAnswer_;
    return 1;
}

// ---- the operator ----

int ConsoleToolkit::Fire(int panel, int control, int event) {
    const Control* c = FindControl(panel, control);
    if (!c) return kUiErrBadHandle;
    if (c->dimmed) return kUiErrDimmed;
    const CallbackEntry* entry = c->callback.empty() ? nullptr : FindCallback(c->callback);
    if (!entry || !entry->control) return kUiErrBadHandle;
    return entry->control(panel, control, event, nullptr, 0, 0);
}

int ConsoleToolkit::Commit(int panel, int control) {
    return Fire(panel, control, EVENT_COMMIT);
}

int ConsoleToolkit::Change(int panel, int control, int value) {
    Control* c = FindControl(panel, control);
    if (!c) return kUiErrBadHandle;
    if (c->dimmed) return kUiErrDimmed;
    c->hasText = false;
    c->text.clear();
    c->value = value;
    return Fire(panel, control, EVENT_VAL_CHANGED);
}

int ConsoleToolkit::SelectMenuItem(int menuBar, int itemId) {
    auto it = menuBars_.find(menuBar);
    if (it == menuBars_.end()) return kUiErrBadHandle;
    const UiMenuItemInfo* item = it->second.info.MenuItem(itemId);
    if (!item) return kUiErrBadHandle;
    if (it->second.dimmed || it->second.dimmedItems[itemId]) return kUiErrDimmed;
    const CallbackEntry* entry = item->callback.empty() ? nullptr : FindCallback(item->callback);
    if (!entry || !entry->menu) return kUiErrBadHandle;
    entry->menu(menuBar, itemId, nullptr, it->second.panel);
    return 0;
}

int ConsoleToolkit::MenuItemWithCallback(int menuBar, const std::string& callback) const {
    auto it = menuBars_.find(menuBar);
    if (it == menuBars_.end()) return kUiErrBadHandle;
    for (const UiMenuItemInfo& item : it->second.info.menuItems) {
        if (item.callback == callback) return item.id;
    }
    return kUiErrBadHandle;
}

// ---- queries ----

bool ConsoleToolkit::IsDimmed(int panel, int control) const {
    const Control* c = FindControl(panel, control);
    return c && c->dimmed;
}

bool ConsoleToolkit::IsDisplayed(int panel) const {
    const Panel* p = FindPanel(panel);
    return p && p->displayed;
}

int ConsoleToolkit::LiveMenuBar(int panel) const {
    for (const auto& [handle, m] : menuBars_) {
        if (m.panel == panel) return handle;
    }
    return 0;
}

std::vector<std::string> ConsoleToolkit::ListLines(int panel, int control) const {
    const Control* c = FindControl(panel, control);
    return c ? c->listLines : std::vector<std::string>{};
}

}  // namespace vbc::platform
