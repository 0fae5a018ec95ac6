#include "gui/win32/win32frontend.h"

#include <commctrl.h>

#include <algorithm>

#include "gui/win32/stationwindow.h"
#include "gui/win32/unicode.h"
#include "platform/jobstop.h"
#include "ui/mfl51mmi.h"
#include "ui/uirids.h"

namespace vbc::platform::win32 {
namespace {

// The subclass that relabels the port selector each time its list opens: adapters come and go.
constexpr UINT_PTR kPortFollowerId = 1;

LRESULT CALLBACK FollowPorts(HWND panel, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR /*id*/,
                             DWORD_PTR selector) {
    if (msg == WM_COMMAND && HIWORD(wp) == CBN_DROPDOWN &&
        reinterpret_cast<HWND>(lp) == reinterpret_cast<HWND>(selector)) {
        ShowPortDevices(reinterpret_cast<HWND>(selector));
    } else if (msg == WM_NCDESTROY) {
        ::RemoveWindowSubclass(panel, FollowPorts, kPortFollowerId);
    }
    return ::DefSubclassProc(panel, msg, wp, lp);
}

}  // namespace

std::string PortEntryText(int port, const std::vector<PortInfo>& ports) {
    const std::string path = "\\\\.\\COM" + std::to_string(port);
    std::string device = "no device";
    for (const PortInfo& p : ports) {
        if (p.path == path) device = p.description.empty() ? p.path : p.description;
    }
    return "COM" + std::to_string(port) + " \u2014 " + device;
}

bool PortHasDevice(int port, const std::vector<PortInfo>& ports) {
    const std::string path = "\\\\.\\COM" + std::to_string(port);
    return std::any_of(ports.begin(), ports.end(),
                       [&path](const PortInfo& p) { return p.path == path; });
}

void ShowPortDevices(HWND selector) {
    if (!selector) return;
    const std::vector<PortInfo> ports = ListSerialPorts();
    const auto count = ::SendMessageW(selector, CB_GETCOUNT, 0, 0);
    const auto current = ::SendMessageW(selector, CB_GETCURSEL, 0, 0);
    HDC dc = ::GetDC(selector);
    HGDIOBJ old =
        ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(selector, WM_GETFONT, 0, 0)));
    int widest = 0;
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT value = ::SendMessageW(selector, CB_GETITEMDATA, static_cast<WPARAM>(i), 0);
        if (value == CB_ERR || value <= 0) continue;
        const std::wstring text = Utf16(PortEntryText(static_cast<int>(value), ports));
        // A combo box has no message that renames an entry: the entry is put again in its place.
        ::SendMessageW(selector, CB_DELETESTRING, static_cast<WPARAM>(i), 0);
        ::SendMessageW(selector, CB_INSERTSTRING, static_cast<WPARAM>(i),
                       reinterpret_cast<LPARAM>(text.c_str()));
        ::SendMessageW(selector, CB_SETITEMDATA, static_cast<WPARAM>(i), value);
        SIZE extent{};
        ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
        widest = std::max(widest, static_cast<int>(extent.cx));
    }
    ::SelectObject(dc, old);
    ::ReleaseDC(selector, dc);
    if (current != CB_ERR) ::SendMessageW(selector, CB_SETCURSEL, static_cast<WPARAM>(current), 0);
    // Long device names widen the list, not the panel.
    const int margins = 2 * ::GetSystemMetrics(SM_CXEDGE) + ::GetSystemMetrics(SM_CXVSCROLL) + 8;
    ::SendMessageW(selector, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(widest + margins), 0);
}

FrontEndToolkit::FrontEndToolkit() {
    SetJobWaitHook([] { vbc::ProcessSystemEvents(); });
    SetStationWindowOpener(OpenStationWindow);
}

FrontEndToolkit::~FrontEndToolkit() {
    SetStationWindowOpener(nullptr);
    DestroyStationWindow();
    SetJobWaitHook(nullptr);
}

int FrontEndToolkit::LoadPanel(int parentPanel, const std::string& resourceFile,
                               int panelResourceId) {
    const int handle = Win32Toolkit::LoadPanel(parentPanel, resourceFile, panelResourceId);
    if (handle > 0 && resourceFile == kMmiUir && panelResourceId == PANEL_MAIN) {
        HWND selector = ControlWindow(handle, MAIN_PORT);
        if (HWND panel = PanelWindow(handle); panel && selector) {
            ShowPortDevices(selector);
            Relayout(handle);  // the selector is as wide as its entries
            ::SetWindowSubclass(panel, FollowPorts, kPortFollowerId,
                                reinterpret_cast<DWORD_PTR>(selector));
        }
    }
    return handle;
}

}  // namespace vbc::platform::win32
