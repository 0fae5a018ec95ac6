// The Win32 backend of the operator-interface toolkit: panels and menu bars built with the
// system's own controls from the same panel resources as the Qt program, laid out by our layout
// engine (gui/win32/layout.h), callbacks bound by the names the resources give them, and the
// system's message loop, message boxes and file dialogs. UTF-8 in its interface, UTF-16 towards
// Windows. Runs on the thread that creates it.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "gui/win32/layout.h"
#include "toolkit/toolkit.h"

namespace vbc::platform::win32 {

// Window identifiers: controls are numbered from kControlIdBase by their control number (the
// small numbers of the resources would otherwise meet IDOK and IDCANCEL), menu items from
// kMenuIdBase by their item number.
constexpr int kControlIdBase = 1000;
constexpr int kMenuIdBase = 20000;

// The window class of the LED control, and its messages: lit (wParam 0 or 1) and asked.
inline constexpr wchar_t kLedWindowClass[] = L"VbcLed";
constexpr UINT kLedSetLit = WM_USER + 1;
constexpr UINT kLedGetLit = WM_USER + 2;

// A top-level window of the program that is not a panel (the station window) gets the panels'
// keyboard (Tab, Alt+mnemonics, Enter) when it carries this window property (any non-null value).
inline constexpr wchar_t kDialogKeysProperty[] = L"VbcDialogKeys";

// The window's DPI (its monitor's where the system says, else the screen's).
UINT WindowDpi(HWND hwnd);
// The panels' font (the system's message font) for that DPI, its height scaled by percent;
// the caller deletes it.
HFONT CreatePanelFont(UINT dpi, int percent = 100, bool bold = false);

class Win32Toolkit : public Toolkit {
  public:
    Win32Toolkit();
    ~Win32Toolkit() override;
    Win32Toolkit(const Win32Toolkit&) = delete;
    Win32Toolkit& operator=(const Win32Toolkit&) = delete;

    int LoadPanel(int parentPanel, const std::string& resourceFile, int panelResourceId) override;
    int DisplayPanel(int panel) override;
    int DiscardPanel(int panel) override;
    int LoadMenuBar(int panel, const std::string& resourceFile, int menuBarResourceId) override;
    int DiscardMenuBar(int menuBar) override;
    int SetMenuBarAttribute(int menuBar, int menuItem, int attribute, int value) override;
    int GetMenuBarAttribute(int menuBar, int menuItem, int attribute, int* value) override;
    int RunUserInterface() override;
    int QuitUserInterface(int returnCode) override;
    int ProcessSystemEvents() override;
    int SetCtrlVal(int panel, int control, int value) override;
    int SetCtrlVal(int panel, int control, const std::string& text) override;
    int GetCtrlVal(int panel, int control, int* value) override;
    int SetCtrlAttribute(int panel, int control, int attribute, int value) override;
    int SetCtrlAttribute(int panel, int control, int attribute, const std::string& text) override;
    int InsertListItem(int panel, int control, int index, const std::string& label,
                       int value) override;
    int SetCtrlIndex(int panel, int control, int index) override;
    int ResetTextBox(int panel, int control, const std::string& text) override;
    int InsertTextBoxLine(int panel, int control, int index, const std::string& text) override;
    int MessagePopup(const std::string& title, const std::string& message) override;
    int ConfirmPopup(const std::string& title, const std::string& question) override;
    // FILE_SELECT_SAVE shows the system's save dialog (replacing a file asks first); any other
    // button label its open dialog for an existing file.
    int FileSelectPopup(const std::string& defaultDirectory, const std::string& defaultFileSpec,
                        int buttonLabel, std::string* chosenPath) override;

    // For the front end and the tests: the windows behind handles and numbers, nullptr when
    // there is none.
    HWND PanelWindow(int panel) const;
    HWND ControlWindow(int panel, int control) const;
    // A widget of the panel by its object name in the resource (labels, group boxes, ...).
    HWND NamedWindow(int panel, const std::string& objectName) const;
    HMENU MenuBarMenu(int menuBar) const;
    // The live menu bar of a panel, 0 when it has none.
    int PanelMenuBar(int panel) const;
    // Lays the panel out again, as after a change of size or text (done by the toolkit itself;
    // for tests that resize a window and look at once).
    void Relayout(int panel);

    struct Impl;  // the backend's own; public for its window procedures

  private:
    std::unique_ptr<Impl> d_;
};

}  // namespace vbc::platform::win32
