#include "toolkit/toolkit.h"

#include <atomic>
#include <cstring>
#include <map>

namespace vbc::platform {
namespace {

// Runs without any window: every operation succeeds and changes nothing; a quit ends the
// event loop with its code.
class NullToolkit : public Toolkit {
  public:
    int RunUserInterface() override { return quitCode_; }
    int QuitUserInterface(int returnCode) override {
        quitCode_ = returnCode;
        return 0;
    }

  private:
    int quitCode_ = 0;
};

NullToolkit gNullToolkit;
Toolkit* gToolkit = &gNullToolkit;

// Keyed by name; map nodes never move, so FindCallback's pointers stay valid.
std::map<std::string, CallbackEntry>& Registry() {
    static std::map<std::string, CallbackEntry> registry;
    return registry;
}

}  // namespace

int Toolkit::NextHandle() {
    static std::atomic<int> next{1};
    return next.fetch_add(1);
}

int Toolkit::LoadPanel(int, const std::string&, int) {
    return NextHandle();
}

int Toolkit::LoadMenuBar(int, const std::string&, int) {
    return NextHandle();
}

int Toolkit::GetMenuBarAttribute(int, int, int, int* value) {
    if (value) *value = 0;
    return 0;
}

int Toolkit::GetCtrlVal(int, int, int* value) {
    if (value) *value = 0;
    return 0;
}

void SetToolkit(Toolkit* toolkit) {
    gToolkit = toolkit ? toolkit : &gNullToolkit;
}
Toolkit& CurrentToolkit() {
    return *gToolkit;
}

void RegisterCallbacks(const CallbackEntry* table, std::size_t count) {
    if (!table) return;
    auto& registry = Registry();
    for (std::size_t i = 0; i < count; ++i) {
        if (!table[i].name || !*table[i].name) continue;
        // A later registration of a name replaces the earlier one.
        auto [it, inserted] = registry.insert_or_assign(table[i].name, table[i]);
        (void)inserted;
        it->second.name = it->first.c_str();
    }
}

const CallbackEntry* FindCallback(const std::string& name) {
    auto& registry = Registry();
    auto it = registry.find(name);
    return it == registry.end() ? nullptr : &it->second;
}

}  // namespace vbc::platform

namespace vbc {
namespace {

std::string Text(const char* s) {
    return s ? std::string(s) : std::string();
}

}  // namespace

using platform::CurrentToolkit;

int LoadPanel(int parentPanel, const char* resourceFile, int panelResourceId) {
    return CurrentToolkit().LoadPanel(parentPanel, Text(resourceFile), panelResourceId);
}
int DisplayPanel(int panel) {
    return CurrentToolkit().DisplayPanel(panel);
}
int DiscardPanel(int panel) {
    return CurrentToolkit().DiscardPanel(panel);
}
int LoadMenuBar(int panel, const char* resourceFile, int menuBarResourceId) {
    return CurrentToolkit().LoadMenuBar(panel, Text(resourceFile), menuBarResourceId);
}
int DiscardMenuBar(int menuBar) {
    return CurrentToolkit().DiscardMenuBar(menuBar);
}
int SetMenuBarAttribute(int menuBar, int menuItem, int attribute, int value) {
    return CurrentToolkit().SetMenuBarAttribute(menuBar, menuItem, attribute, value);
}
int GetMenuBarAttribute(int menuBar, int menuItem, int attribute, int* value) {
    int v = 0;
    const int status = CurrentToolkit().GetMenuBarAttribute(menuBar, menuItem, attribute, &v);
    if (value) *value = v;
    return status;
}
int RunUserInterface() {
    return CurrentToolkit().RunUserInterface();
}
int QuitUserInterface(int returnCode) {
    return CurrentToolkit().QuitUserInterface(returnCode);
}
int ProcessSystemEvents() {
    return CurrentToolkit().ProcessSystemEvents();
}
int SetCtrlVal(int panel, int control, int value) {
    return CurrentToolkit().SetCtrlVal(panel, control, value);
}
int SetCtrlVal(int panel, int control, const char* text) {
    return CurrentToolkit().SetCtrlVal(panel, control, Text(text));
}
int GetCtrlVal(int panel, int control, int* value) {
    int v = 0;
    int status = CurrentToolkit().GetCtrlVal(panel, control, &v);
    if (value) *value = v;
    return status;
}
int SetCtrlAttribute(int panel, int control, int attribute, int value) {
    return CurrentToolkit().SetCtrlAttribute(panel, control, attribute, value);
}
int SetCtrlAttribute(int panel, int control, int attribute, const char* text) {
    return CurrentToolkit().SetCtrlAttribute(panel, control, attribute, Text(text));
}
int InsertListItem(int panel, int control, int index, const char* label, int value) {
    return CurrentToolkit().InsertListItem(panel, control, index, Text(label), value);
}
int SetCtrlIndex(int panel, int control, int index) {
    return CurrentToolkit().SetCtrlIndex(panel, control, index);
}
int ResetTextBox(int panel, int control, const char* text) {
    return CurrentToolkit().ResetTextBox(panel, control, Text(text));
}
int InsertTextBoxLine(int panel, int control, int index, const char* text) {
    return CurrentToolkit().InsertTextBoxLine(panel, control, index, Text(text));
}
int MessagePopup(const char* title, const char* message) {
    return CurrentToolkit().MessagePopup(Text(title), Text(message));
}
int ConfirmPopup(const char* title, const char* question) {
    return CurrentToolkit().ConfirmPopup(Text(title), Text(question));
}

int FileSelectPopup(const char* defaultDirectory, const char* defaultFileSpec,
                    const char* fileTypeList, const char* title, int buttonLabel,
                    int restrictDirectory, int restrictExtension, int allowCancel,
                    int allowMakeDirectory, char* pathName) {
    // The caller always offers one pattern, lets the operator cancel and browse freely;
    // backends show their own dialog with the directory, the pattern and the button.
    (void)fileTypeList;
    (void)title;
    (void)restrictDirectory;
    (void)restrictExtension;
    (void)allowCancel;
    (void)allowMakeDirectory;
    std::string chosen;
    int result = CurrentToolkit().FileSelectPopup(Text(defaultDirectory), Text(defaultFileSpec),
                                                  buttonLabel, &chosen);
    if (result <= 0) return result;
    // A cut path would name another file: refuse it, leave the caller's path untouched.
    constexpr std::size_t kMaxPath = 259;
    if (chosen.size() > kMaxPath || chosen.find('\0') != std::string::npos) {
        return kUiErrOutOfRange;
    }
    if (!pathName) return kUiErrOutOfRange;
    std::memcpy(pathName, chosen.c_str(), chosen.size() + 1);
    return result;
}

}  // namespace vbc
