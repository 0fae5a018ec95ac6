// The Qt Widgets backend of the operator-interface toolkit: panels and menu bars built from
// the embedded Qt Designer resources, callbacks bound by the names the resources give them,
// and Qt's own event loop and dialogs. Needs a QApplication made before it and destroyed
// after it.
#pragma once

#include <memory>
#include <string>

#include "toolkit/toolkit.h"

class QAction;
class QMenuBar;
class QWidget;

namespace vbc::platform {

class QtToolkit : public Toolkit {
  public:
    QtToolkit();
    ~QtToolkit() override;
    QtToolkit(const QtToolkit&) = delete;
    QtToolkit& operator=(const QtToolkit&) = delete;

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
    // FILE_SELECT_SAVE shows a save dialog (a new name allowed, replacing asks first); any
    // other button label an open dialog for an existing file.
    int FileSelectPopup(const std::string& defaultDirectory, const std::string& defaultFileSpec,
                        int buttonLabel, std::string* chosenPath) override;

    // For the GUI front end (e.g. to show the device each port entry resolves to) and for
    // tests: the widgets behind handles and numbers, nullptr when there is none.
    QWidget* PanelWidget(int panel) const;
    QWidget* ControlWidget(int panel, int control) const;
    QMenuBar* MenuBarWidget(int menuBar) const;
    QAction* MenuItemAction(int menuBar, int item) const;
    // The live menu bar of a panel, 0 when it has none.
    int PanelMenuBar(int panel) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

}  // namespace vbc::platform
