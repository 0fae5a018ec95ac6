// Operator-interface toolkit: panels, controls, menus, popups and the event loop, addressed
// by the numbers of the panel resources. Backends: recording (tests), console, Qt widgets.
#pragma once

#include <cstddef>
#include <string>

namespace vbc {

// Event codes that callbacks test.
constexpr int EVENT_COMMIT = 1;
constexpr int EVENT_VAL_CHANGED = 2;
constexpr int EVENT_CLOSE = 11;

// Control and menu attributes the system sets.
constexpr int ATTR_DIMMED = 500;  // controls, a menu bar (item 0) or one menu item
constexpr int ATTR_LABEL_TEXT = 940;
constexpr int ATTR_STATUS_TEXT = 630;
constexpr int ATTR_CHECKED = 1050;  // a checkable menu item: 1 checked, 0 not

// The button of the file dialog: what the chosen file is for.
constexpr int FILE_SELECT_LOAD = 3;  // an existing file to read
constexpr int FILE_SELECT_SAVE = 1;  // a file to write, new or replaced

// Results of the operations below: 0 (or a handle, or a popup's answer) on success,
// a negative code on a fault.
constexpr int kUiErrBadHandle = -4;   // no such panel, menu bar or control (or discarded)
constexpr int kUiErrOutOfRange = -5;  // an index or a length out of range
constexpr int kUiErrDimmed = -22;     // an operator action on something dimmed

using CtrlCallbackPtr = int (*)(int panel, int control, int event, void* callbackData,
                                int eventData1, int eventData2);
using PanelCallbackPtr = int (*)(int panel, int event, void* callbackData, int eventData1,
                                 int eventData2);
using MenuCallbackPtr = void (*)(int menuBar, int menuItem, void* callbackData, int panel);

int LoadPanel(int parentPanel, const char* resourceFile, int panelResourceId);
int DisplayPanel(int panel);
int DiscardPanel(int panel);
int LoadMenuBar(int panel, const char* resourceFile, int menuBarResourceId);
int DiscardMenuBar(int menuBar);
// menuItem 0 addresses the whole menu bar (ATTR_DIMMED only), any other number one item.
// A dimmed bar or item delivers no selection; a menu bar keeps its handle while dimmed.
int SetMenuBarAttribute(int menuBar, int menuItem, int attribute, int value);
int GetMenuBarAttribute(int menuBar, int menuItem, int attribute, int* value);
int RunUserInterface();
int QuitUserInterface(int returnCode);
int ProcessSystemEvents();
int SetCtrlVal(int panel, int control, int value);
int SetCtrlVal(int panel, int control, const char* text);
int GetCtrlVal(int panel, int control, int* value);
int SetCtrlAttribute(int panel, int control, int attribute, int value);
int SetCtrlAttribute(int panel, int control, int attribute, const char* text);
int InsertListItem(int panel, int control, int index, const char* label, int value);
int SetCtrlIndex(int panel, int control, int index);
int ResetTextBox(int panel, int control, const char* text);
int InsertTextBoxLine(int panel, int control, int index, const char* text);
int MessagePopup(const char* title, const char* message);
int ConfirmPopup(const char* title, const char* question);
// pathName receives the chosen path (at most 259 characters and a NUL); returns 0 on cancel,
// 1 or more when a file was chosen. buttonLabel is FILE_SELECT_LOAD or FILE_SELECT_SAVE. A chosen
// path that does not fit is refused (kUiErrOutOfRange) rather than cut; pathName is left unchanged
// unless a file was chosen.
int FileSelectPopup(const char* defaultDirectory, const char* defaultFileSpec,
                    const char* fileTypeList, const char* title, int buttonLabel,
                    int restrictDirectory, int restrictExtension, int allowCancel,
                    int allowMakeDirectory, char* pathName);

}  // namespace vbc

namespace vbc::platform {

// One backend of the toolkit. Handles are positive integers chosen by the backend. Every
// operation has a default that succeeds and changes nothing (loads hand out distinct handles,
// reads give 0), so a backend overrides only what it does.
class Toolkit {
  public:
    virtual ~Toolkit() = default;
    virtual int LoadPanel(int parentPanel, const std::string& resourceFile, int panelResourceId);
    virtual int DisplayPanel(int /*panel*/) { return 0; }
    virtual int DiscardPanel(int /*panel*/) { return 0; }
    virtual int LoadMenuBar(int panel, const std::string& resourceFile, int menuBarResourceId);
    virtual int DiscardMenuBar(int /*menuBar*/) { return 0; }
    virtual int SetMenuBarAttribute(int /*menuBar*/, int /*menuItem*/, int /*attribute*/,
                                    int /*value*/) {
        return 0;
    }
    virtual int GetMenuBarAttribute(int menuBar, int menuItem, int attribute, int* value);
    virtual int RunUserInterface() { return 0; }
    virtual int QuitUserInterface(int /*returnCode*/) { return 0; }
    virtual int ProcessSystemEvents() { return 0; }
    virtual int SetCtrlVal(int /*panel*/, int /*control*/, int /*value*/) { return 0; }
    virtual int SetCtrlVal(int /*panel*/, int /*control*/, const std::string& /*text*/) {
        return 0;
    }
    virtual int GetCtrlVal(int panel, int control, int* value);
    virtual int SetCtrlAttribute(int /*panel*/, int /*control*/, int /*attribute*/, int /*value*/) {
        return 0;
    }
    virtual int SetCtrlAttribute(int /*panel*/, int /*control*/, int /*attribute*/,
                                 const std::string& /*text*/) {
        return 0;
    }
    virtual int InsertListItem(int /*panel*/, int /*control*/, int /*index*/,
                               const std::string& /*label*/, int /*value*/) {
        return 0;
    }
    virtual int SetCtrlIndex(int /*panel*/, int /*control*/, int /*index*/) { return 0; }
    virtual int ResetTextBox(int /*panel*/, int /*control*/, const std::string& /*text*/) {
        return 0;
    }
    virtual int InsertTextBoxLine(int /*panel*/, int /*control*/, int /*index*/,
                                  const std::string& /*text*/) {
        return 0;
    }
    virtual int MessagePopup(const std::string& /*title*/, const std::string& /*message*/) {
        return 0;
    }
    virtual int ConfirmPopup(const std::string& /*title*/, const std::string& /*question*/) {
        return 0;
    }
    virtual int FileSelectPopup(const std::string& /*defaultDirectory*/,
                                const std::string& /*defaultFileSpec*/, int /*buttonLabel*/,
                                std::string* /*chosenPath*/) {
        return 0;
    }

  protected:
    // A handle no other load of any backend has handed out.
    static int NextHandle();
};

// The backend in use. The caller keeps ownership; nullptr installs a backend that does nothing.
void SetToolkit(Toolkit* toolkit);
Toolkit& CurrentToolkit();

// The program's functions by name, through which backends bind the callbacks that the
// panel resources name.
struct CallbackEntry {
    const char* name;
    CtrlCallbackPtr control = nullptr;
    PanelCallbackPtr panel = nullptr;
    MenuCallbackPtr menu = nullptr;
};
void RegisterCallbacks(const CallbackEntry* table, std::size_t count);
const CallbackEntry* FindCallback(const std::string& name);

}  // namespace vbc::platform
