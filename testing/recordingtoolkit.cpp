#include "testing/recordingtoolkit.h"

#include <algorithm>
#include <utility>

namespace vbc::platform {
namespace {

std::string Quoted(const std::string& s) {
    return "\"" + s + "\"";
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    if (text.empty()) return lines;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

// Inserts at index (-1 or the size: at the end). False when the index is out of range.
template <typename T>
bool InsertAt(std::vector<T>& v, int index, T item, int* where) {
    const int size = static_cast<int>(v.size());
    if (index == -1) index = size;
    if (index < 0 || index > size) return false;
    v.insert(v.begin() + index, std::move(item));
    *where = index;
    return true;
}

}  // namespace

std::string RecordingToolkit::Call::Describe() const {
    auto n = [](int v) { return " " + std::to_string(v); };
    auto val = [&]() { return hasText ? " " + Quoted(text) : n(value); };
    if (op == "LoadPanel" || op == "LoadMenuBar")
        return op + n(panel) + " " + resourceFile + n(value);
    if (op == "DisplayPanel" || op == "DiscardPanel" || op == "DiscardMenuBar")
        return op + n(panel);
    if (op == "SetMenuBarAttribute") return op + n(panel) + n(index) + n(attribute) + n(value);
    if (op == "GetMenuBarAttribute") return op + n(panel) + n(index) + n(attribute);
    if (op == "QuitUserInterface") return op + n(value);
    if (op == "SetCtrlVal") return op + n(panel) + n(control) + val();
    if (op == "GetCtrlVal") return op + n(panel) + n(control);
    if (op == "SetCtrlAttribute") return op + n(panel) + n(control) + n(attribute) + val();
    if (op == "InsertListItem")
        return op + n(panel) + n(control) + n(index) + " " + Quoted(text) + n(value);
    if (op == "SetCtrlIndex") return op + n(panel) + n(control) + n(index);
    if (op == "ResetTextBox") return op + n(panel) + n(control) + " " + Quoted(text);
    if (op == "InsertTextBoxLine")
        return op + n(panel) + n(control) + n(index) + " " + Quoted(text);
    if (op == "FileSelectPopup") return op + " " + Quoted(title) + " " + Quoted(text) + n(value);
    if (op == "MessagePopup" || op == "ConfirmPopup") {
        return op + " " + Quoted(title) + " " + Quoted(text);
    }
    if (op == "FireControl") return op + " " + text + n(panel) + n(control) + n(value);
    if (op == "FirePanel") return op + " " + text + n(panel) + n(value);
    if (op == "FireMenu") return op + " " + text + n(control) + n(index) + n(panel);
    return op;
}

int RecordingToolkit::Record(Call call, int result) {
    call.result = result;
    log_.push_back(std::move(call));
    return result;
}

int RecordingToolkit::Fail(const Call& call, int code, const std::string& why) {
    errors_.push_back(call.Describe() + ": " + why);
    return Record(call, code);
}

RecordingToolkit::Panel* RecordingToolkit::LivePanel(int handle, const Call& call) {
    auto it = panels_.find(handle);
    if (it == panels_.end()) {
        Fail(call, kUiErrBadHandle, "no such panel");
        return nullptr;
    }
    if (it->second.discarded) {
        Fail(call, kUiErrBadHandle, "panel already discarded");
        return nullptr;
    }
    return &it->second;
}

RecordingToolkit::MenuBar* RecordingToolkit::LiveMenuBar(int handle, const Call& call) {
    auto it = std::find_if(menuBars_.begin(), menuBars_.end(),
                           [&](const MenuBar& m) { return m.handle == handle; });
    if (it == menuBars_.end()) {
        Fail(call, kUiErrBadHandle, "no such menu bar");
        return nullptr;
    }
    if (it->discarded) {
        Fail(call, kUiErrBadHandle, "menu bar already discarded");
        return nullptr;
    }
    return &*it;
}

RecordingToolkit::Control* RecordingToolkit::LiveControl(int panel, int control, const Call& call) {
    Panel* p = LivePanel(panel, call);
    if (!p) return nullptr;
    if (control <= 0) {
        Fail(call, kUiErrBadHandle, "no such control");
        return nullptr;
    }
    return &p->controls[control];
}

// ---- Toolkit ----

int RecordingToolkit::LoadPanel(int parentPanel, const std::string& resourceFile,
                                int panelResourceId) {
    Call call =
        Call("LoadPanel").SetPanel(parentPanel).SetValue(panelResourceId).SetResource(resourceFile);
    Panel p;
    p.handle = nextHandle_++;
    p.parent = parentPanel;
    p.resourceFile = resourceFile;
    p.resourceId = panelResourceId;
    panels_[p.handle] = p;
    return Record(call, p.handle);
}

int RecordingToolkit::DisplayPanel(int panel) {
    Call call = Call("DisplayPanel").SetPanel(panel);
    Panel* p = LivePanel(panel, call);
    if (!p) return kUiErrBadHandle;
    p->displayed = true;
    return Record(call, 0);
}

int RecordingToolkit::DiscardPanel(int panel) {
    Call call = Call("DiscardPanel").SetPanel(panel);
    Panel* p = LivePanel(panel, call);
    if (!p) return kUiErrBadHandle;
    p->displayed = false;
    p->discarded = true;
    // Its menu bars go with it.
    for (auto& m : menuBars_) {
        if (m.panel == panel) m.discarded = true;
    }
    return Record(call, 0);
}

int RecordingToolkit::LoadMenuBar(int panel, const std::string& resourceFile,
                                  int menuBarResourceId) {
    Call call =
        Call("LoadMenuBar").SetPanel(panel).SetValue(menuBarResourceId).SetResource(resourceFile);
    if (!LivePanel(panel, call)) return kUiErrBadHandle;
    // A panel carries one menu bar: a new one replaces the one it had.
    for (auto& m : menuBars_) {
        if (m.panel == panel) m.discarded = true;
    }
    MenuBar m;
    m.handle = nextHandle_++;
    m.panel = panel;
    m.resourceFile = resourceFile;
    m.resourceId = menuBarResourceId;
    menuBars_.push_back(m);
    return Record(call, m.handle);
}

int RecordingToolkit::DiscardMenuBar(int menuBar) {
    Call call = Call("DiscardMenuBar").SetPanel(menuBar);
    auto it = std::find_if(menuBars_.begin(), menuBars_.end(),
                           [&](const MenuBar& m) { return m.handle == menuBar; });
    if (it == menuBars_.end()) return Fail(call, kUiErrBadHandle, "no such menu bar");
    if (it->discarded) return Fail(call, kUiErrBadHandle, "menu bar already discarded");
    it->discarded = true;
    return Record(call, 0);
}

int RecordingToolkit::SetMenuBarAttribute(int menuBar, int menuItem, int attribute, int value) {
    Call call = Call("SetMenuBarAttribute")
                    .SetPanel(menuBar)
                    .SetIndex(menuItem)
                    .SetAttribute(attribute)
                    .SetValue(value);
    MenuBar* m = LiveMenuBar(menuBar, call);
    if (!m) return kUiErrBadHandle;
    if (menuItem < 0) return Fail(call, kUiErrBadHandle, "no such menu item");
    if (menuItem == 0 && attribute != ATTR_DIMMED)
        return Fail(call, kUiErrBadHandle, "a menu bar is only dimmed");
    m->attributes[menuItem][attribute] = value;
    return Record(call, 0);
}

int RecordingToolkit::GetMenuBarAttribute(int menuBar, int menuItem, int attribute, int* value) {
    Call call =
        Call("GetMenuBarAttribute").SetPanel(menuBar).SetIndex(menuItem).SetAttribute(attribute);
    if (!LiveMenuBar(menuBar, call)) return kUiErrBadHandle;
    if (value) *value = MenuAttribute(menuBar, menuItem, attribute);
    return Record(call, 0);
}

int RecordingToolkit::RunUserInterface() {
    Record(Call("RunUserInterface"), 0);
    quitRequested_ = false;
    if (runHook_) runHook_();
    return quitCode_;
}

int RecordingToolkit::QuitUserInterface(int returnCode) {
    quitRequested_ = true;
    quitCode_ = returnCode;
    return Record(Call("QuitUserInterface").SetValue(returnCode), 0);
}

int RecordingToolkit::ProcessSystemEvents() {
    ++eventCount_;
    Record(Call("ProcessSystemEvents"), 0);
    if (eventHook_ && !inEventHook_) {
        inEventHook_ = true;
        eventHook_();
        inEventHook_ = false;
    }
    return 0;
}

int RecordingToolkit::SetCtrlVal(int panel, int control, int value) {
    Call call = Call("SetCtrlVal").SetPanel(panel).SetControl(control).SetValue(value);
    Control* c = LiveControl(panel, control, call);
    if (!c) return kUiErrBadHandle;
    c->hasText = false;
    c->value = value;
    c->text.clear();
    return Record(call, 0);
}

int RecordingToolkit::SetCtrlVal(int panel, int control, const std::string& text) {
    Call call = Call("SetCtrlVal").SetPanel(panel).SetControl(control).SetText(text);
    Control* c = LiveControl(panel, control, call);
    if (!c) return kUiErrBadHandle;
    c->hasText = true;
    c->value = 0;
    c->text = text;
    return Record(call, 0);
}

int RecordingToolkit::GetCtrlVal(int panel, int control, int* value) {
    Call call = Call("GetCtrlVal").SetPanel(panel).SetControl(control);
    Control* c = LiveControl(panel, control, call);
    if (!c) return kUiErrBadHandle;
    if (value) *value = c->hasText ? 0 : c->value;
    return Record(call, 0);
}

int RecordingToolkit::SetCtrlAttribute(int panel, int control, int attribute, int value) {
    Call call = Call("SetCtrlAttribute")
                    .SetPanel(panel)
                    .SetControl(control)
                    .SetAttribute(attribute)
                    .SetValue(value);
    Control* c = LiveControl(panel, control, call);
    if (!c) return kUiErrBadHandle;
    c->intAttributes[attribute] = value;
    return Record(call, 0);
}

int RecordingToolkit::SetCtrlAttribute(int panel, int control, int attribute,
                                       const std::string& text) {
    Call call = Call("SetCtrlAttribute")
                    .SetPanel(panel)
                    .SetControl(control)
                    .SetAttribute(attribute)
                    .SetText(text);
    Control* c = LiveControl(panel, control, call);
    if (!c) return kUiErrBadHandle;
    c->textAttributes[attribute] = text;
    return Record(call, 0);
}

int RecordingToolkit::InsertListItem(int panel, int control, int index, const std::string& label,
                                     int value) {
    Call call = Call("InsertListItem")
                    .SetPanel(panel)
                    .SetControl(control)
                    .SetIndex(index)
                    .SetValue(value)
                    .SetText(label);
    Control* c = LiveControl(panel, control, call);
    if (!c) return kUiErrBadHandle;
    int where = 0;
    if (!InsertAt(c->listLines, index, label, &where)) {
        return Fail(call, kUiErrOutOfRange, "index past the end of the list");
    }
    c->listValues.insert(c->listValues.begin() + where, value);
    return Record(call, 0);
}

int RecordingToolkit::SetCtrlIndex(int panel, int control, int index) {
    Call call = Call("SetCtrlIndex").SetPanel(panel).SetControl(control).SetIndex(index);
    Control* c = LiveControl(panel, control, call);
    if (!c) return kUiErrBadHandle;
    if (index < 0 || index >= static_cast<int>(c->listLines.size())) {
        return Fail(call, kUiErrOutOfRange, "no such list line");
    }
    c->listIndex = index;
    return Record(call, 0);
}

int RecordingToolkit::ResetTextBox(int panel, int control, const std::string& text) {
    Call call = Call("ResetTextBox").SetPanel(panel).SetControl(control).SetText(text);
    Control* c = LiveControl(panel, control, call);
    if (!c) return kUiErrBadHandle;
    c->textBoxLines = SplitLines(text);
    return Record(call, 0);
}

int RecordingToolkit::InsertTextBoxLine(int panel, int control, int index,
                                        const std::string& text) {
    Call call =
        Call("InsertTextBoxLine").SetPanel(panel).SetControl(control).SetIndex(index).SetText(text);
    Control* c = LiveControl(panel, control, call);
    if (!c) return kUiErrBadHandle;
    int where = 0;
    if (!InsertAt(c->textBoxLines, index, text, &where)) {
        return Fail(call, kUiErrOutOfRange, "index past the end of the text box");
    }
    return Record(call, 0);
}

int RecordingToolkit::MessagePopup(const std::string& title, const std::string& message) {
    Popup popup;
    popup.kind = "Message";
    popup.title = title;
    popup.text = message;
    popups_.push_back(popup);
    return Record(Call("MessagePopup").SetText(message).SetTitle(title), 0);
}

int RecordingToolkit::ConfirmPopup(const std::string& title, const std::string& question) {
    int answer = 0;
    if (!confirmAnswers_.empty()) {
        answer = confirmAnswers_.front();
        confirmAnswers_.pop_front();
    }
    Popup popup;
    popup.kind = "Confirm";
    popup.title = title;
    popup.text = question;
    popup.answer = answer;
    popups_.push_back(popup);
    return Record(Call("ConfirmPopup").SetText(question).SetTitle(title), answer);
}

int RecordingToolkit::FileSelectPopup(const std::string& defaultDirectory,
                                      const std::string& defaultFileSpec, int buttonLabel,
                                      std::string* chosenPath) {
    std::optional<std::string> answer;
    if (!fileAnswers_.empty()) {
        answer = fileAnswers_.front();
        fileAnswers_.pop_front();
    }
    const int result = answer ? 1 : 0;
    if (answer && chosenPath) *chosenPath = *answer;
    Popup popup;
    popup.kind = "FileSelect";
    popup.text = answer.value_or("");
    popup.directory = defaultDirectory;
    popup.pattern = defaultFileSpec;
    popup.buttonLabel = buttonLabel;
    popup.answer = result;
    popups_.push_back(popup);
    return Record(Call("FileSelectPopup")
                      .SetText(defaultFileSpec)
                      .SetTitle(defaultDirectory)
                      .SetValue(buttonLabel),
                  result);
}

// ---- Operator actions ----

int RecordingToolkit::FireControl(const std::string& callback, int panel, int control, int event,
                                  int eventData1, int eventData2) {
    Call call =
        Call("FireControl").SetPanel(panel).SetControl(control).SetValue(event).SetText(callback);
    const CallbackEntry* entry = FindCallback(callback);
    if (!entry || !entry->control) return Fail(call, kUiErrBadHandle, "no such control callback");
    if (!LivePanel(panel, call)) return kUiErrBadHandle;
    Record(call, 0);
    return entry->control(panel, control, event, nullptr, eventData1, eventData2);
}

int RecordingToolkit::FirePanel(const std::string& callback, int panel, int event) {
    Call call = Call("FirePanel").SetPanel(panel).SetValue(event).SetText(callback);
    const CallbackEntry* entry = FindCallback(callback);
    if (!entry || !entry->panel) return Fail(call, kUiErrBadHandle, "no such panel callback");
    if (!LivePanel(panel, call)) return kUiErrBadHandle;
    Record(call, 0);
    return entry->panel(panel, event, nullptr, 0, 0);
}

int RecordingToolkit::FireMenu(const std::string& callback, int menuBar, int menuItem, int panel) {
    Call call =
        Call("FireMenu").SetPanel(panel).SetControl(menuBar).SetIndex(menuItem).SetText(callback);
    const CallbackEntry* entry = FindCallback(callback);
    if (!entry || !entry->menu) return Fail(call, kUiErrBadHandle, "no such menu callback");
    if (!LiveMenuBar(menuBar, call)) return kUiErrBadHandle;
    if (MenuAttribute(menuBar, 0, ATTR_DIMMED) != 0)
        return Fail(call, kUiErrDimmed, "menu bar dimmed");
    if (menuItem != 0 && MenuAttribute(menuBar, menuItem, ATTR_DIMMED) != 0)
        return Fail(call, kUiErrDimmed, "menu item dimmed");
    Record(call, 0);
    entry->menu(menuBar, menuItem, nullptr, panel);
    return 0;
}

// ---- Queries ----

const RecordingToolkit::Panel* RecordingToolkit::FindPanel(int handle) const {
    auto it = panels_.find(handle);
    return it == panels_.end() ? nullptr : &it->second;
}

const RecordingToolkit::Control* RecordingToolkit::FindControl(int panel, int control) const {
    const Panel* p = FindPanel(panel);
    if (!p) return nullptr;
    auto it = p->controls.find(control);
    return it == p->controls.end() ? nullptr : &it->second;
}

std::vector<int> RecordingToolkit::DisplayedPanels(const std::string& resourceFile,
                                                   int resourceId) const {
    std::vector<int> handles;
    for (const auto& [handle, p] : panels_) {
        if (p.resourceFile == resourceFile && p.resourceId == resourceId && p.displayed &&
            !p.discarded) {
            handles.push_back(handle);
        }
    }
    return handles;
}

std::vector<int> RecordingToolkit::LivePanels(const std::string& resourceFile,
                                              int resourceId) const {
    std::vector<int> handles;
    for (const auto& [handle, p] : panels_) {
        if (p.resourceFile == resourceFile && p.resourceId == resourceId && !p.discarded) {
            handles.push_back(handle);
        }
    }
    return handles;
}

bool RecordingToolkit::IsDisplayed(int panel) const {
    const Panel* p = FindPanel(panel);
    return p && p->displayed && !p->discarded;
}

bool RecordingToolkit::IsDiscarded(int panel) const {
    const Panel* p = FindPanel(panel);
    return p && p->discarded;
}

bool RecordingToolkit::IsDimmed(int panel, int control) const {
    auto v = IntAttribute(panel, control, ATTR_DIMMED);
    return v && *v != 0;
}

int RecordingToolkit::CtrlValue(int panel, int control) const {
    const Control* c = FindControl(panel, control);
    return c && !c->hasText ? c->value : 0;
}

std::string RecordingToolkit::CtrlText(int panel, int control) const {
    const Control* c = FindControl(panel, control);
    return c && c->hasText ? c->text : std::string();
}

std::optional<int> RecordingToolkit::IntAttribute(int panel, int control, int attribute) const {
    const Control* c = FindControl(panel, control);
    if (!c) return std::nullopt;
    auto it = c->intAttributes.find(attribute);
    if (it == c->intAttributes.end()) return std::nullopt;
    return it->second;
}

std::string RecordingToolkit::TextAttribute(int panel, int control, int attribute) const {
    const Control* c = FindControl(panel, control);
    if (!c) return {};
    auto it = c->textAttributes.find(attribute);
    return it == c->textAttributes.end() ? std::string() : it->second;
}

std::vector<std::string> RecordingToolkit::ListLines(int panel, int control) const {
    const Control* c = FindControl(panel, control);
    return c ? c->listLines : std::vector<std::string>();
}

int RecordingToolkit::ListIndex(int panel, int control) const {
    const Control* c = FindControl(panel, control);
    return c ? c->listIndex : -1;
}

std::vector<std::string> RecordingToolkit::TextBoxLines(int panel, int control) const {
    const Control* c = FindControl(panel, control);
    return c ? c->textBoxLines : std::vector<std::string>();
}

int RecordingToolkit::LiveMenuBar(int panel) const {
    for (const auto& m : menuBars_) {
        if (m.panel == panel && !m.discarded) return m.handle;
    }
    return 0;
}

int RecordingToolkit::MenuAttribute(int menuBar, int menuItem, int attribute) const {
    for (const auto& m : menuBars_) {
        if (m.handle != menuBar) continue;
        auto item = m.attributes.find(menuItem);
        if (item == m.attributes.end()) return 0;
        auto a = item->second.find(attribute);
        return a == item->second.end() ? 0 : a->second;
    }
    return 0;
}

std::vector<RecordingToolkit::Call> RecordingToolkit::Calls(const std::string& op) const {
    std::vector<Call> calls;
    for (const auto& c : log_) {
        if (c.op == op) calls.push_back(c);
    }
    return calls;
}

std::vector<std::string> RecordingToolkit::LogLines() const {
    std::vector<std::string> lines;
    for (const auto& c : log_) lines.push_back(c.Describe());
    return lines;
}

std::vector<std::string> RecordingToolkit::LogLines(const std::string& op) const {
    std::vector<std::string> lines;
    for (const auto& c : log_) {
        if (c.op == op) lines.push_back(c.Describe());
    }
    return lines;
}

void RecordingToolkit::ClearLog() {
    log_.clear();
    errors_.clear();
    popups_.clear();
}

}  // namespace vbc::platform
