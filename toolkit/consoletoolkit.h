// A toolkit backend without windows, for command-line front ends. Panels, controls and menu
// bars are read from the embedded resources and kept in memory; what an operator would see
// is written as text lines as it appears:
//   - every line appended to a list box, as the list shows it;
//   - a status text (attribute 630) when it changes, unless it is blank;
//   - when a panel is displayed, its fixed text (the "panelText" label) and the texts the
//     program put into its controls (the message of a message panel);
//   - the message of a message popup.
// Every line is flushed as it is written, so that a script reading the output sees it live.
// A progress bar (the value of a QProgressBar control) is drawn on the error stream when
// enabled, and erased around each line of output so the two never mix on one terminal.
// The operator's actions (a button press, a selector change, a menu item) are methods that
// call the callbacks the resources name, as a windowed toolkit would.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/toolkit.h"
#include "toolkit/uiresources.h"

namespace vbc::platform {

class ConsoleToolkit : public Toolkit {
  public:
    // out receives the text lines, err the progress bar (drawn only with progressBar).
    ConsoleToolkit(std::FILE* out, std::FILE* err, bool progressBar);
    ~ConsoleToolkit() override;
    ConsoleToolkit(const ConsoleToolkit&) = delete;
    ConsoleToolkit& operator=(const ConsoleToolkit&) = delete;

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
    int FileSelectPopup(const std::string& defaultDirectory, const std::string& defaultFileSpec,
                        int buttonLabel, std::string* chosenPath) override;

    // ---- the operator ----

    // Presses a control: its callback gets the commit event. Returns the callback's result,
    // kUiErrBadHandle when there is no such live control or no callback bound to it,
    // kUiErrDimmed when the control is dimmed.
    int Commit(int panel, int control);
    // Sets a control's value and sends its callback the value-changed event; same results.
    int Change(int panel, int control, int value);
    // Selects a menu item of a live menu bar. 0, kUiErrBadHandle when there is no such
    // item or no callback bound to it, kUiErrDimmed when the bar or the item is dimmed.
    int SelectMenuItem(int menuBar, int itemId);
    // The number of the item whose callback has that name, kUiErrBadHandle when none.
    int MenuItemWithCallback(int menuBar, const std::string& callback) const;
    // The answers of the modal popups: ConfirmPopup (0, no, by default) and FileSelectPopup
    // (cancel by default), the same whatever the dialog is for.
    void SetConfirmAnswer(int answer) { confirmAnswer_ = answer; }
    void SetFileSelectAnswer(std::optional<std::string> path) { fileAnswer_ = std::move(path); }
    // What RunUserInterface runs, the operator's session; it returns once the session is over
    // with the code given to QuitUserInterface (0 when it was not called).
    void SetRunHook(std::function<void()> hook) { runHook_ = std::move(hook); }
    // The text control whose value the progress bar carries beside it (the live transfer
    // figures); the bar is shorter then, so that the whole stays on one line.
    // What the console shows, by kind: a line of the comment list, the fixed text of a panel
    // (and a text control's), the status text (the elapsed time), a popup's message.
    enum class Output { kListLine, kPanelText, kStatusText, kPopup };
    // Where the shown texts go instead of the output stream (vbcflash-cli --json).
    // Whether the terminal takes the ANSI erase-line escape (on by default): without it the bar
    // is cleared with blanks.
    void SetTerminalEscapes(bool on) { escapes_ = on; }
    void SetOutputSink(std::function<void(Output, const std::string&)> sink) {
        sink_ = std::move(sink);
    }
    void SetBarCaption(int panel, int control) { captionPanel_ = panel, captionControl_ = control; }

    // ---- queries ----

    bool IsDimmed(int panel, int control) const;
    bool IsDisplayed(int panel) const;
    // The live menu bar of a panel, 0 when there is none.
    int LiveMenuBar(int panel) const;
    std::vector<std::string> ListLines(int panel, int control) const;

  private:
    struct Control {
        std::string className;
        std::string callback;
        bool hasText = false;
        int value = 0;
        std::string text;
        bool dimmed = false;
        std::map<int, std::string> textAttributes;
        std::vector<std::string> listLines;
        int listIndex = -1;
        std::vector<std::string> textBoxLines;
    };
    struct Panel {
        std::string panelText;
        std::vector<int> order;  // control numbers in document order
        std::map<int, Control> controls;
        bool displayed = false;
    };
    struct MenuBar {
        int panel = 0;
        UiPanelInfo info;
        bool dimmed = false;
        std::map<int, bool> dimmedItems;
        std::map<int, bool> checkedItems;
    };

    Panel* FindPanel(int panel);
    const Panel* FindPanel(int panel) const;
    Control* FindControl(int panel, int control);
    const Control* FindControl(int panel, int control) const;
    int Fire(int panel, int control, int event);

    // Output: one line on out, the progress bar kept out of its way.
    void Line(Output kind, const std::string& text);
    void Progress(int percent);
    void EraseBar();
    void DrawBar();

    std::FILE* out_;
    std::FILE* err_;
    bool progressBar_;
    int nextHandle_ = 1;
    std::map<int, Panel> panels_;
    std::map<int, MenuBar> menuBars_;
    int confirmAnswer_ = 0;
    std::optional<std::string> fileAnswer_;
    std::function<void()> runHook_;
    int quitCode_ = 0;
    bool barShown_ = false;
    bool escapes_ = true;
    std::size_t barLength_ = 0;  // of the bar last drawn, for a terminal without escapes
    int barPercent_ = -1;
    int captionPanel_ = 0;
    int captionControl_ = 0;
    std::string caption_;
    std::function<void(Output, const std::string&)> sink_;
};

}  // namespace vbc::platform
