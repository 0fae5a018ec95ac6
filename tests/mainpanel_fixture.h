// A recording toolkit with the main panel and its menu bar up, as after start-up, for the
// tests of the modules that draw on the main panel.
#pragma once

#include <string>
#include <vector>

#include "core/context.h"
#include "testing/programstate.h"
#include "testing/recordingtoolkit.h"
#include "toolkit/toolkit.h"
#include "ui/mfl52display.h"
#include "ui/uirids.h"

namespace vbc::test {

struct MainPanelUp {
    MainPanelUp() : use(rec) {
        ResetProgramState();
        _v_Panel = LoadPanel(0, kMmiUir, PANEL_MAIN);
        DisplayPanel(_v_Panel);
        _v_MenuBarHandle = LoadMenuBar(_v_Panel, kMmiUir, MENUBAR_MAIN);
        rec.ClearLog();
    }
    ~MainPanelUp() { ResetProgramState(); }
    MainPanelUp(const MainPanelUp&) = delete;
    MainPanelUp& operator=(const MainPanelUp&) = delete;

    std::vector<std::string> Comments() const { return rec.ListLines(_v_Panel, MAIN_COMMENT_LIST); }
    // The texts of the "Utility.uir" message panels of that number still on screen.
    std::vector<std::string> Shown(int utilityPanel) const {
        std::vector<std::string> texts;
        for (int h : rec.DisplayedPanels(kUtilityUir, utilityPanel))
            texts.push_back(rec.CtrlText(h, UTIL_MESSAGE_TEXT));
        return texts;
    }
    // Every message panel on screen, of either resource file.
    std::size_t PanelsShown() const {
        std::size_t n = 0;
        for (int id : {1, 3, 5, 6, 7, 8}) n += rec.DisplayedPanels(kUtilityUir, id).size();
        for (int id : {PANEL_TIMEOUT, PANEL_SUCCESS}) n += rec.DisplayedPanels(kMmiUir, id).size();
        return n;
    }
    // Unlocked: the menu bar is there, undimmed, and none of the locked controls is dimmed.
    bool Unlocked() const {
        const int bar = rec.LiveMenuBar(_v_Panel);
        if (bar == 0 || rec.MenuAttribute(bar, 0, ATTR_DIMMED) != 0) return false;
        for (int c : {MAIN_LOAD_FILE, MAIN_QUIT, MAIN_DOWNLOAD_CONFIG, MAIN_START, MAIN_PORT})
            if (rec.IsDimmed(_v_Panel, c)) return false;
        return true;
    }

    platform::RecordingToolkit rec;
    platform::ScopedToolkit use;
};

}  // namespace vbc::test
