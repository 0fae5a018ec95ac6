// A toolkit backend that shows nothing and remembers everything: every panel, control
// value, attribute, list line, menu bar and popup, and an ordered log of every call, so
// that tests can ask what the operator would see and in which order it happened.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "toolkit/toolkit.h"

namespace vbc::platform {

class RecordingToolkit : public Toolkit {
  public:
    struct Control {
        bool hasText = false;  // the last value set was a text
        int value = 0;
        std::string text;
        std::map<int, int> intAttributes;
        std::map<int, std::string> textAttributes;
        std::vector<std::string> listLines;
        std::vector<int> listValues;
        int listIndex = -1;  // selected line, -1 before any selection
        std::vector<std::string> textBoxLines;
    };

    struct Panel {
        int handle = 0;
        int parent = 0;
        std::string resourceFile;
        int resourceId = 0;
        bool displayed = false;
        bool discarded = false;
        std::map<int, Control> controls;
    };

    struct MenuBar {
        int handle = 0;
        int panel = 0;
        std::string resourceFile;
        int resourceId = 0;
        bool discarded = false;
        // Attributes set, by item (0: the whole bar) and attribute.
        std::map<int, std::map<int, int>> attributes;
    };

    struct Popup {
        std::string kind;  // "Message", "Confirm" or "FileSelect"
        std::string title;
        std::string text;
        std::string directory;  // FileSelect only
        std::string pattern;    // FileSelect only
        int buttonLabel = 0;    // FileSelect only
        int answer = 0;
    };

    // One call as it reached the backend; fields the operation does not use are 0 or "".
    struct Call {
        std::string op;
        int panel = 0;
        int control = 0;
        int attribute = 0;
        int index = 0;
        int value = 0;
        bool hasText = false;
        std::string text;
        std::string title;  // popups
        std::string resourceFile;
        int result = 0;
        // "SetCtrlAttribute 4 5 500 1", "SetCtrlVal 9 3 \"text\"", "LoadPanel 0 Utility.uir 1"...
        std::string Describe() const;

        Call() = default;
        explicit Call(std::string name) : op(std::move(name)) {}
        Call& SetPanel(int v) {
            panel = v;
            return *this;
        }
        Call& SetControl(int v) {
            control = v;
            return *this;
        }
        Call& SetAttribute(int v) {
            attribute = v;
            return *this;
        }
        Call& SetIndex(int v) {
            index = v;
            return *this;
        }
        Call& SetValue(int v) {
            value = v;
            return *this;
        }
        Call& SetText(std::string v) {
            hasText = true;
            text = std::move(v);
            return *this;
        }
        Call& SetTitle(std::string v) {
            title = std::move(v);
            return *this;
        }
        Call& SetResource(std::string v) {
            resourceFile = std::move(v);
            return *this;
        }
    };

    RecordingToolkit() = default;
    RecordingToolkit(const RecordingToolkit&) = delete;
    RecordingToolkit& operator=(const RecordingToolkit&) = delete;

    // Toolkit
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

    // Scripting: answers for the next modal popups, in order. An empty queue answers
    // ConfirmPopup with 0 (no) and FileSelectPopup with 0 (cancel).
    void QueueConfirm(int answer) { confirmAnswers_.push_back(answer); }
    void QueueFileSelect(const std::string& path) { fileAnswers_.emplace_back(path); }
    void QueueFileSelectCancel() { fileAnswers_.emplace_back(std::nullopt); }
    // Called from every ProcessSystemEvents (not re-entered from within itself).
    void SetEventHook(std::function<void()> hook) { eventHook_ = std::move(hook); }
    // Called once from RunUserInterface: the "events" of a session; Run then returns the
    // code given to QuitUserInterface (0 when it was not called).
    void SetRunHook(std::function<void()> hook) { runHook_ = std::move(hook); }

    // Operator actions: call the registered callback of that name as the toolkit would.
    // The result is the callback's, or kUiErrBadHandle when no such callback is registered.
    int FireControl(const std::string& callback, int panel, int control, int event,
                    int eventData1 = 0, int eventData2 = 0);
    int FirePanel(const std::string& callback, int panel, int event);
    // A menu item is not delivered while the bar or the item is dimmed (kUiErrDimmed).
    int FireMenu(const std::string& callback, int menuBar, int menuItem, int panel);

    // Queries.
    const Panel* FindPanel(int handle) const;
    // Handles of the panels of that resource that are loaded, displayed and not discarded.
    std::vector<int> DisplayedPanels(const std::string& resourceFile, int resourceId) const;
    // Handles of the panels of that resource that are loaded and not discarded.
    std::vector<int> LivePanels(const std::string& resourceFile, int resourceId) const;
    bool IsDisplayed(int panel) const;
    bool IsDiscarded(int panel) const;
    bool IsDimmed(int panel, int control) const;
    int CtrlValue(int panel, int control) const;
    std::string CtrlText(int panel, int control) const;
    std::optional<int> IntAttribute(int panel, int control, int attribute) const;
    std::string TextAttribute(int panel, int control, int attribute) const;
    std::string Label(int panel, int control) const { return TextAttribute(panel, control, 940); }
    std::vector<std::string> ListLines(int panel, int control) const;
    int ListIndex(int panel, int control) const;
    std::vector<std::string> TextBoxLines(int panel, int control) const;
    const std::vector<MenuBar>& MenuBars() const { return menuBars_; }
    // The menu bar attached to the panel and not discarded, 0 when there is none.
    int LiveMenuBar(int panel) const;
    // The value last set for a menu bar's item (0: the bar), 0 when none was set.
    int MenuAttribute(int menuBar, int menuItem, int attribute) const;
    const std::vector<Popup>& Popups() const { return popups_; }
    int EventCount() const { return eventCount_; }
    bool QuitRequested() const { return quitRequested_; }
    int QuitCode() const { return quitCode_; }

    // Every call in order, and the calls that addressed something that does not exist
    // (a discarded panel, an index past the end...), described.
    const std::vector<Call>& Log() const { return log_; }
    std::vector<Call> Calls(const std::string& op) const;
    std::vector<std::string> LogLines() const;
    std::vector<std::string> LogLines(const std::string& op) const;
    const std::vector<std::string>& Errors() const { return errors_; }
    // Forgets the log, the errors and the popups; panels and values stay.
    void ClearLog();

  private:
    Panel* LivePanel(int handle, const Call& call);
    MenuBar* LiveMenuBar(int handle, const Call& call);
    Control* LiveControl(int panel, int control, const Call& call);
    const Control* FindControl(int panel, int control) const;
    int Record(Call call, int result);
    int Fail(const Call& call, int code, const std::string& why);

    int nextHandle_ = 1;
    std::map<int, Panel> panels_;
    std::vector<MenuBar> menuBars_;
    std::vector<Popup> popups_;
    std::deque<int> confirmAnswers_;
    std::deque<std::optional<std::string>> fileAnswers_;
    std::function<void()> eventHook_;
    std::function<void()> runHook_;
    bool inEventHook_ = false;
    int eventCount_ = 0;
    bool quitRequested_ = false;
    int quitCode_ = 0;
    std::vector<Call> log_;
    std::vector<std::string> errors_;
};

// Installs a toolkit for the life of the object, then puts back the one before.
class ScopedToolkit {
  public:
    explicit ScopedToolkit(Toolkit& toolkit) : previous_(&CurrentToolkit()) {
        SetToolkit(&toolkit);
    }
    ~ScopedToolkit() { SetToolkit(previous_); }
    ScopedToolkit(const ScopedToolkit&) = delete;
    ScopedToolkit& operator=(const ScopedToolkit&) = delete;

  private:
    Toolkit* previous_;
};

}  // namespace vbc::platform
