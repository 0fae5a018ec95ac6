#include "ui/mfl50dev.h"

#include "data/mfl10fla.h"
#include "toolkit/toolkit.h"
#include "ui/mfl51mmi.h"
#include "ui/mfl52display.h"
#include "ui/mfl53ser.h"
#include "ui/mfl54util.h"
#include "ui/uirids.h"

namespace vbc {
namespace {

RunTimeStartFn gRunTimeStart = nullptr;
RunTimeReleaseFn gRunTimeRelease = nullptr;

}  // namespace

void SetToolkitRunTime(RunTimeStartFn start, RunTimeReleaseFn release) {
    gRunTimeStart = start;
    gRunTimeRelease = release;
}

int StartToolkitRunTime(int argc, char* argv[]) {
    return gRunTimeStart ? gRunTimeStart(argc, argv) : 1;
}

void ReleaseToolkitRunTime() {
    if (gRunTimeRelease) gRunTimeRelease();
}

void RegisterProgramCallbacks() {
    RegisterMmiCallbacks();
    RegisterDisplayCallbacks();
    RegisterUtilCallbacks();
    RegisterServiceCallbacks();
}

std::int32_t StartMainPanel() {
    // The toolkit binds the callbacks by name when it loads a panel or a menu bar.
    RegisterProgramCallbacks();
    _v_Panel = LoadPanel(0, kMmiUir, PANEL_MAIN);
    // Stop means something only while a job runs.
    SetCtrlAttribute(_v_Panel, MAIN_STOP, ATTR_DIMMED, 1);
    DisplayPanel(_v_Panel);
    _v_MenuBarHandle = LoadMenuBar(_v_Panel, kMmiUir, MENUBAR_MAIN);
    ShowWaitStates();
    ShowLineSpeed();
    ShowVerifyOption();

    const std::int32_t status = _mfl10_100InitFlashDescription();
    // The main panel stays usable with whatever the table holds.
    if (status != kStatusOk) _mfl52_11DisplayFlashFileErr(status);
    return status;
}

int _main(int argc, char* argv[], const char* softwareFile) {
    if (StartToolkitRunTime(argc, argv) == 0) return -1;
    StartMainPanel();
    if (softwareFile && *softwareFile) LoadSoftwareFile(softwareFile);
    RunUserInterface();
    return 0;
}

ProgramArguments ParseProgramArguments(int argc, const char* const argv[]) {
    ProgramArguments parsed;
    bool options = true;
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && arg == "--") {
            options = false;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            parsed.error = "unknown option '" + arg + "'";
            return parsed;
        } else if (++files > 1) {
            parsed.error =
                "one software file at most ('" + parsed.softwareFile + "', '" + arg + "')";
            return parsed;
        } else {
            parsed.softwareFile = arg;
        }
    }
    return parsed;
}

}  // namespace vbc
