#include "gui/win32/win32toolkit.h"

#include <commctrl.h>
#include <commdlg.h>
#include <windowsx.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "gui/win32/unicode.h"
#include "toolkit/uiresources.h"

namespace vbc::platform::win32 {
namespace {

constexpr wchar_t kPanelWindowClass[] = L"VbcPanel";
// Posted to a discarded panel: destroyed once the callback that discarded it has returned.
constexpr UINT kDestroyLater = WM_APP + 1;
constexpr int kOtherIdBase = 5000;  // widgets that are not controls
constexpr int kDroppedItems = 12;   // entries a selector's list shows at once

void Warn(const std::string& message) {
    std::fprintf(stderr, "vbcflash: %s\n", message.c_str());
}

enum class Kind { Button, Label, Icon, Edit, Number, Selector, List, Progress, Group, Led, Other };

Kind KindOf(const UiNode& node) {
    const std::string& c = node.className;
    if (c == "QPushButton") return Kind::Button;
    if (c == "QLabel") return node.Property("standardIcon") ? Kind::Icon : Kind::Label;
    if (c == "QLineEdit") return Kind::Edit;
    if (c == "QSpinBox") return Kind::Number;
    if (c == "QComboBox") return Kind::Selector;
    if (c == "QListWidget") return Kind::List;
    if (c == "QProgressBar") return Kind::Progress;
    if (c == "QGroupBox") return Kind::Group;
    if (c == kLedClass) return Kind::Led;
    return Kind::Other;
}

int IntOf(const UiNode& node, std::string_view name, int fallback) {
    const std::string* v = node.Property(name);
    if (!v) return fallback;
    try {
        return std::stoi(*v);
    } catch (...) {
        return fallback;
    }
}

// Alignment bits of a Qt::Alignment set as written ("Qt::AlignHCenter|Qt::AlignTop").
int AlignmentOf(std::string_view set) {
    static const std::pair<std::string_view, int> names[] = {
        {"Qt::AlignLeft", kAlignLeft},
        {"Qt::AlignLeading", kAlignLeft},
        {"Qt::AlignRight", kAlignRight},
        {"Qt::AlignTrailing", kAlignRight},
        {"Qt::AlignHCenter", kAlignHCenter},
        {"Qt::AlignTop", kAlignTop},
        {"Qt::AlignBottom", kAlignBottom},
        {"Qt::AlignVCenter", kAlignVCenter},
        {"Qt::AlignCenter", kAlignHCenter | kAlignVCenter}};
    int bits = 0;
    while (!set.empty()) {
        const std::size_t bar = set.find('|');
        const std::string_view name = set.substr(0, bar);
        for (const auto& [n, b] : names) {
            if (n == name) bits |= b;
        }
        if (bar == std::string_view::npos) break;
        set.remove_prefix(bar + 1);
    }
    return bits;
}

Grow GrowOf(const std::string& policy, Grow fallback) {
    if (policy.empty()) return fallback;
    if (policy == "Fixed" || policy == "Maximum") return Grow::Fixed;
    if (policy == "Expanding" || policy == "MinimumExpanding") return Grow::Expanding;
    if (policy == "Ignored") return Grow::Expanding;
    return Grow::Preferred;
}

int InsertIndex(int index, int count) {
    if (index == -1 || index == count) return count;  // -1: at the end
    if (index < 0 || index > count) return -1;
    return index;
}

std::wstring WindowText(HWND hwnd) {
    const int n = ::GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
    const int got = ::GetWindowTextW(hwnd, text.data(), n + 1);
    text.resize(static_cast<std::size_t>(std::max(0, got)));
    return text;
}

bool ParseInt(const std::string& text, int* value) {
    std::size_t start = text.find_first_not_of(" \t");
    std::size_t end = text.find_last_not_of(" \t");
    if (start == std::string::npos) return false;
    const std::string t = text.substr(start, end - start + 1);
    char* stop = nullptr;
    const long v = std::strtol(t.c_str(), &stop, 10);
    if (*stop != '\0' || v < INT_MIN || v > INT_MAX) return false;
    *value = static_cast<int>(v);
    return true;
}

// Per-monitor DPI where the system has it (Windows 10 1607 on), else the screen's.
UINT DpiOf(HWND hwnd) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpi = reinterpret_cast<GetDpiForWindowFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpi && hwnd) {
        const UINT dpi = getDpi(hwnd);
        if (dpi) return dpi;
    }
    HDC dc = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(dc, LOGPIXELSY);
    ::ReleaseDC(nullptr, dc);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

LOGFONTW PanelLogFont(UINT dpi, int percent, bool bold) {
    NONCLIENTMETRICSW ncm{};
    ncm.cbSize = sizeof(ncm);
    ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(ncm), &ncm, 0);
    LOGFONTW lf = ncm.lfMessageFont;
    // The system's metrics are for its own DPI; the window may be on another monitor.
    lf.lfHeight = ::MulDiv(lf.lfHeight, static_cast<int>(dpi), static_cast<int>(DpiOf(nullptr)));
    lf.lfHeight = ::MulDiv(lf.lfHeight, percent, 100);
    if (bold) lf.lfWeight = FW_BOLD;
    return lf;
}

// ---------------------------------------------------------------------------------------
// The LED: a round lamp, bright green when lit and dark grey when not, and its label.

struct LedState {
    bool lit = false;
    HFONT font = nullptr;
};

LRESULT CALLBACK LedProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* led = reinterpret_cast<LedState*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (msg) {
        case WM_NCCREATE:
            ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new LedState));
            break;
        case WM_NCDESTROY:
            delete led;
            ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            break;
        case kLedSetLit:
            if (led && led->lit != (wp != 0)) {
                led->lit = wp != 0;
                ::InvalidateRect(hwnd, nullptr, TRUE);
            }
            return 0;
        case kLedGetLit:
            return led && led->lit ? 1 : 0;
        case WM_SETFONT:
            if (led) led->font = reinterpret_cast<HFONT>(wp);
            if (lp) ::InvalidateRect(hwnd, nullptr, TRUE);
            return 0;
        case WM_GETFONT:
            return reinterpret_cast<LRESULT>(led ? led->font : nullptr);
        case WM_SETTEXT:
        case WM_ENABLE: {
            const LRESULT r = ::DefWindowProcW(hwnd, msg, wp, lp);
            ::InvalidateRect(hwnd, nullptr, TRUE);
            return r;
        }
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = ::BeginPaint(hwnd, &ps);
            RECT rc;
            ::GetClientRect(hwnd, &rc);
            HGDIOBJ oldFont = ::SelectObject(
                dc, led && led->font ? led->font : ::GetStockObject(DEFAULT_GUI_FONT));
            TEXTMETRICW tm;
            ::GetTextMetricsW(dc, &tm);
            const int d = std::max(8, static_cast<int>(tm.tmHeight) * 3 / 4);
            const int top = (rc.bottom - d) / 2;
            const bool lit = led && led->lit;
            const bool enabled = ::IsWindowEnabled(hwnd);
            HBRUSH fill = ::CreateSolidBrush(lit ? RGB(0x20, 0xD0, 0x20) : RGB(0x50, 0x50, 0x50));
            HPEN pen =
                ::CreatePen(PS_SOLID, 1, lit ? RGB(0x10, 0x80, 0x10) : RGB(0x30, 0x30, 0x30));
            HGDIOBJ oldBrush = ::SelectObject(dc, fill);
            HGDIOBJ oldPen = ::SelectObject(dc, pen);
            ::Ellipse(dc, 1, top, 1 + d, top + d);
            ::SelectObject(dc, oldBrush);
            ::SelectObject(dc, oldPen);
            ::DeleteObject(fill);
            ::DeleteObject(pen);
            const std::wstring text = WindowText(hwnd);
            RECT textRect{1 + d + d / 2, 0, rc.right, rc.bottom};
            ::SetBkMode(dc, TRANSPARENT);
            ::SetTextColor(dc, ::GetSysColor(enabled ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
            ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &textRect,
                        DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
            ::SelectObject(dc, oldFont);
            ::EndPaint(hwnd, &ps);
            return 0;
        }
        default:
            break;
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

void RegisterClasses() {
    static bool done = false;
    if (done) return;
    done = true;
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&icc);
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW panel{};
    panel.cbSize = sizeof(panel);
    panel.lpfnWndProc = PanelProc;
    panel.hInstance = instance;
    panel.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    panel.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    panel.lpszClassName = kPanelWindowClass;
    // The program's icon when it has one (resource 1), else the system's.
    panel.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(1));
    if (!panel.hIcon) panel.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
    ::RegisterClassExW(&panel);
    WNDCLASSEXW led{};
    led.cbSize = sizeof(led);
    led.lpfnWndProc = LedProc;
    led.hInstance = instance;
    led.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    led.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    led.lpszClassName = kLedWindowClass;
    ::RegisterClassExW(&led);
}

}  // namespace

// ---------------------------------------------------------------------------------------

struct Win32Toolkit::Impl {
    // One widget of a panel: a window (or none, for a spacer or a plain container) in the
    // order of the resource.
    struct Widget {
        const UiNode* node = nullptr;
        Kind kind = Kind::Other;
        HWND hwnd = nullptr;
        int ctrlId = 0;
        CtrlCallbackPtr callback = nullptr;
        std::vector<HWND> buddies;  // labels that name this control
        // What the last layout measured and gave it: a label's new text that needs the same
        // room moves nothing, and a control that keeps its place is not moved again.
        Size measuredHint;
        Size measuredMinimum;
        Rect placed{-1, -1, -1, -1};
        int number = 0;  // a number display's value and range
        int numberMin = 0;
        int numberMax = 99;
        std::wstring suffix;
        int progressMin = 0;
        int progressMax = 100;
        bool isDefault = false;
    };
    struct Panel {
        int handle = 0;
        HWND hwnd = nullptr;
        bool discarded = false;
        bool closeBox = true;
        bool placed = false;
        bool hadMenuBar = false;
        PanelCallbackPtr callback = nullptr;
        UiNode tree;
        std::vector<Widget> widgets;
        std::map<int, std::size_t> controls;  // control number -> widget
        UINT dpi = 96;
        HFONT font = nullptr;
        HFONT fixedFont = nullptr;
        Size minimumClient;
        bool laying = false;
        Impl* impl = nullptr;

        Widget* Control(int id) {
            auto it = controls.find(id);
            return it == controls.end() ? nullptr : &widgets[it->second];
        }
    };
    struct MenuBar {
        int handle = 0;
        int panel = 0;
        HMENU menu = nullptr;
        HACCEL accelerators = nullptr;
        std::map<int, UiMenuItemInfo> items;
        std::map<int, CallbackEntry> callbacks;
        std::set<int> checked;
        bool dimmed = false;
        std::set<int> dimmedItems;
        int topLevelCount = 0;

        bool Delivers(int item) const { return !dimmed && !dimmedItems.contains(item); }
    };

    std::map<int, std::unique_ptr<Panel>> panels;
    std::vector<std::unique_ptr<Panel>> discarded;  // windows waiting for destruction
    std::map<int, MenuBar> menuBars;
    int loops = 0;
    bool quitRequested = false;
    bool quitPending = false;
    int quitCode = 0;
    bool settingProgrammatically = false;

    ~Impl() {
        for (auto& [h, m] : menuBars) FreeMenuBar(m, false);
        // Owned panels go with their owner: none of them may call back into a half-gone toolkit.
        for (auto& [h, p] : panels) {
            if (p->hwnd) ::SetWindowLongPtrW(p->hwnd, GWLP_USERDATA, 0);
        }
        for (auto& p : discarded) {
            if (p->hwnd) ::SetWindowLongPtrW(p->hwnd, GWLP_USERDATA, 0);
        }
        for (auto& [h, p] : panels) DestroyPanel(*p);
        for (auto& p : discarded) DestroyPanel(*p);
    }

    void DestroyPanel(Panel& p) {
        if (p.hwnd) {
            ::SetWindowLongPtrW(p.hwnd, GWLP_USERDATA, 0);
            ::DestroyWindow(p.hwnd);
            p.hwnd = nullptr;
        }
        if (p.font) ::DeleteObject(p.font);
        if (p.fixedFont) ::DeleteObject(p.fixedFont);
        p.font = p.fixedFont = nullptr;
    }

    Panel* FindPanel(int handle) {
        auto it = panels.find(handle);
        return it == panels.end() ? nullptr : it->second.get();
    }

    Widget* Control(int panel, int control) {
        Panel* p = FindPanel(panel);
        return p ? p->Control(control) : nullptr;
    }

    MenuBar* FindMenuBar(int handle) {
        auto it = menuBars.find(handle);
        return it == menuBars.end() ? nullptr : &it->second;
    }

    MenuBar* MenuBarOf(int panel) {
        for (auto& [h, m] : menuBars) {
            if (m.panel == panel) return &m;
        }
        return nullptr;
    }

    // ---- fonts and measures ------------------------------------------------------------

    int Scale(const Panel& p, int px) const { return ::MulDiv(px, static_cast<int>(p.dpi), 96); }

    void MakeFonts(Panel& p) {
        if (p.font) ::DeleteObject(p.font);
        if (p.fixedFont) ::DeleteObject(p.fixedFont);
        const LOGFONTW lf = PanelLogFont(p.dpi, 100, false);
        p.font = ::CreateFontIndirectW(&lf);
        LOGFONTW fixed = lf;
        fixed.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
        fixed.lfFaceName[0] = L'\0';
        wcsncpy(fixed.lfFaceName, L"Courier New", LF_FACESIZE - 1);
        p.fixedFont = ::CreateFontIndirectW(&fixed);
    }

    HFONT FontOf(const Panel& p, const Widget& w) const {
        return w.node->BoolProperty("fixedFont", false) ? p.fixedFont : p.font;
    }

    // The extent of text in the widget's font; wrapWidth > 0 breaks lines at that width.
    SIZE TextExtent(const Panel& p, const Widget& w, const std::wstring& text, int wrapWidth,
                    bool prefix) const {
        HDC dc = ::GetDC(p.hwnd);
        HGDIOBJ old = ::SelectObject(dc, FontOf(p, w));
        RECT r{0, 0, wrapWidth > 0 ? wrapWidth : 0, 0};
        UINT flags = DT_CALCRECT | (prefix ? 0 : DT_NOPREFIX) | (wrapWidth > 0 ? DT_WORDBREAK : 0);
        TEXTMETRICW tm;
        ::GetTextMetricsW(dc, &tm);
        SIZE s{0, tm.tmHeight};
        if (!text.empty()) {
            ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, flags);
            s = {r.right - r.left, std::max<LONG>(r.bottom - r.top, tm.tmHeight)};
        }
        ::SelectObject(dc, old);
        ::ReleaseDC(p.hwnd, dc);
        return s;
    }

    TEXTMETRICW Metrics(const Panel& p, HFONT font) const {
        HDC dc = ::GetDC(p.hwnd);
        HGDIOBJ old = ::SelectObject(dc, font);
        TEXTMETRICW tm;
        ::GetTextMetricsW(dc, &tm);
        ::SelectObject(dc, old);
        ::ReleaseDC(p.hwnd, dc);
        return tm;
    }

    // ---- building ----------------------------------------------------------------------

    void CreateWidgets(Panel& p, const UiNode& node, bool top) {
        if (node.kind == UiNodeKind::Widget && !top) {
            Widget w;
            w.node = &node;
            w.kind = KindOf(node);
            w.ctrlId = node.ctrlId;
            const int id = node.ctrlId > 0 ? kControlIdBase + node.ctrlId
                                           : kOtherIdBase + static_cast<int>(p.widgets.size());
            w.hwnd = CreateControl(p, w, id);
            if (w.hwnd)
                ::SendMessageW(w.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(FontOf(p, w)), FALSE);
            if (node.ctrlId > 0) p.controls[node.ctrlId] = p.widgets.size();
            p.widgets.push_back(std::move(w));
        }
        for (const UiNode& c : node.children) {
            if (c.kind != UiNodeKind::Spacer) CreateWidgets(p, c, false);
        }
    }

    HWND CreateControl(Panel& p, Widget& w, int id) {
        const UiNode& n = *w.node;
        const std::string* text = n.Property("text");
        std::wstring caption = text ? Utf16(*text) : std::wstring();
        const wchar_t* cls = nullptr;
        DWORD style = WS_CHILD | WS_VISIBLE;
        DWORD exStyle = 0;
        const std::string* focus = n.Property("focusPolicy");
        const bool takesFocus = !focus || (*focus != "Qt::NoFocus" && *focus != "Qt::ClickFocus");
        const bool readOnly = n.BoolProperty("readOnly", false);
        switch (w.kind) {
            case Kind::Button:
                cls = WC_BUTTONW;
                w.isDefault = n.BoolProperty("default", false);
                style |= WS_TABSTOP | (w.isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
                break;
            case Kind::Label: {
                cls = WC_STATICW;
                const bool wrap = n.BoolProperty("wordWrap", false);
                // A one-line label's text sits in the middle of its height, beside its field.
                style |= wrap ? SS_LEFT : (SS_LEFTNOWORDWRAP | SS_CENTERIMAGE);
                // Only a label that names a control shows its '&' as a mnemonic.
                if (!n.Property("buddy")) style |= SS_NOPREFIX;
                const int align =
                    AlignmentOf(n.Property("alignment") ? *n.Property("alignment") : "");
                if (align & kAlignRight)
                    style = (style & ~(SS_LEFT | SS_LEFTNOWORDWRAP)) | SS_RIGHT;
                if (align & kAlignHCenter)
                    style = (style & ~(SS_LEFT | SS_LEFTNOWORDWRAP)) | SS_CENTER;
                break;
            }
            case Kind::Icon:
                cls = WC_STATICW;
                style |= SS_ICON | SS_REALSIZEIMAGE;
                caption.clear();
                break;
            case Kind::Edit:
            case Kind::Number:
                cls = WC_EDITW;
                exStyle |= WS_EX_CLIENTEDGE;
                style |=
                    ES_AUTOHSCROLL | (readOnly ? ES_READONLY : 0) | (takesFocus ? WS_TABSTOP : 0);
                if (w.kind == Kind::Number) {
                    style |= ES_RIGHT | (readOnly ? 0 : ES_NUMBER);
                    w.numberMin = IntOf(n, "minimum", 0);
                    w.numberMax = IntOf(n, "maximum", 99);
                    w.number = std::clamp(IntOf(n, "value", 0), w.numberMin, w.numberMax);
                    if (const std::string* s = n.Property("suffix")) w.suffix = Utf16(*s);
                    caption = NumberText(w);
                }
                break;
            case Kind::Selector:
                cls = WC_COMBOBOXW;
                style |= CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
                caption.clear();
                break;
            case Kind::List:
                cls = WC_LISTBOXW;
                exStyle |= WS_EX_CLIENTEDGE;
                style |= LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_HSCROLL |
                         (takesFocus ? WS_TABSTOP : 0);
                break;
            case Kind::Progress:
                cls = PROGRESS_CLASSW;
                w.progressMin = IntOf(n, "minimum", 0);
                w.progressMax = IntOf(n, "maximum", 100);
                break;
            case Kind::Group:
                cls = WC_BUTTONW;
                style |= BS_GROUPBOX;
                if (const std::string* t = n.Property("title")) caption = Utf16(*t);
                break;
            case Kind::Led:
                cls = kLedWindowClass;
                if (const std::string* l = n.Property("label")) caption = Utf16(*l);
                break;
            case Kind::Other:
                return nullptr;  // a plain container: its layout places its children
        }
        if (!n.BoolProperty("enabled", true)) style |= WS_DISABLED;
        HWND hwnd = ::CreateWindowExW(exStyle, cls, caption.c_str(), style, 0, 0, 0, 0, p.hwnd,
                                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                      ::GetModuleHandleW(nullptr), nullptr);
        if (!hwnd) return nullptr;
        switch (w.kind) {
            case Kind::Icon: {
                const std::string& icon = *n.Property("standardIcon");
                const wchar_t* which = icon == "critical"   ? IDI_ERROR
                                       : icon == "warning"  ? IDI_WARNING
                                       : icon == "question" ? IDI_QUESTION
                                                            : IDI_INFORMATION;
                ::SendMessageW(hwnd, STM_SETICON,
                               reinterpret_cast<WPARAM>(::LoadIconW(nullptr, which)), 0);
                break;
            }
            case Kind::Progress:
                ::SendMessageW(hwnd, PBM_SETRANGE32, w.progressMin, w.progressMax);
                ::SendMessageW(hwnd, PBM_SETPOS,
                               std::clamp(IntOf(n, "value", 0), w.progressMin, w.progressMax), 0);
                break;
            case Kind::Edit:
                if (const std::string* cue = n.Property("placeholderText")) {
                    const std::wstring c = Utf16(*cue);
                    ::SendMessageW(hwnd, EM_SETCUEBANNER, TRUE,
                                   reinterpret_cast<LPARAM>(c.c_str()));
                }
                break;
            default:
                break;
        }
        return hwnd;
    }

    static std::wstring NumberText(const Widget& w) { return std::to_wstring(w.number) + w.suffix; }

    // Binds the labels to the controls they name, and the callbacks.
    void Bind(Panel& p, const UiPanelInfo& info) {
        for (Widget& w : p.widgets) {
            if (w.kind == Kind::Label && w.hwnd) {
                if (const std::string* buddy = w.node->Property("buddy")) {
                    for (Widget& target : p.widgets) {
                        if (target.node->objectName == *buddy) target.buddies.push_back(w.hwnd);
                    }
                }
            }
            if (w.ctrlId <= 0) continue;
            const UiControlInfo* c = info.Control(w.ctrlId);
            if (!c) continue;
            if (w.kind == Kind::Selector) {
                for (std::size_t i = 0; i < c->items.size(); ++i) {
                    const std::wstring t = Utf16(c->items[i]);
                    const auto at = ::SendMessageW(w.hwnd, CB_ADDSTRING, 0,
                                                   reinterpret_cast<LPARAM>(t.c_str()));
                    ::SendMessageW(w.hwnd, CB_SETITEMDATA, at, c->itemValues[i]);
                }
                ::SendMessageW(w.hwnd, CB_SETCURSEL, c->currentIndex, 0);
            }
            if (!c->callback.empty()) {
                const CallbackEntry* e = FindCallback(c->callback);
                if (e && e->control) {
                    w.callback = e->control;
                } else {
                    Warn("no control callback named " + c->callback);
                }
            }
        }
    }

    // ---- layout ------------------------------------------------------------------------

    LayoutNode BuildLayout(Panel& p, const UiNode& node, std::size_t* next, bool top) {
        LayoutNode out;
        if (node.kind == UiNodeKind::Spacer) {
            const UiSize hint =
                node.sizes.contains("sizeHint") ? node.sizes.at("sizeHint") : UiSize{};
            const bool vertical =
                node.Property("orientation") && *node.Property("orientation") == "Qt::Vertical";
            out.hint = {Scale(p, hint.width), Scale(p, hint.height)};
            out.minimum = vertical ? Size{out.hint.width, 0} : Size{0, out.hint.height};
            out.horizontal = vertical ? Grow::Preferred : Grow::Expanding;
            out.vertical = vertical ? Grow::Expanding : Grow::Preferred;
        } else if (node.kind == UiNodeKind::Layout) {
            const std::string& c = node.className;
            out.kind = c == "QHBoxLayout"   ? LayoutNode::Kind::HBox
                       : c == "QGridLayout" ? LayoutNode::Kind::Grid
                       : c == "QFormLayout" ? LayoutNode::Kind::Form
                                            : LayoutNode::Kind::VBox;
            out.spacing = Scale(p, IntOf(node, "spacing", 6));
            out.stretch = node.stretch;
            out.rowStretch = node.rowStretch;
            out.columnStretch = node.columnStretch;
            // A widget's own layout keeps a margin; a layout nested in another has none.
            const int margin = top ? 9 : 0;
            out.marginLeft = Scale(p, IntOf(node, "leftMargin", margin));
            out.marginTop = Scale(p, IntOf(node, "topMargin", margin));
            out.marginRight = Scale(p, IntOf(node, "rightMargin", margin));
            out.marginBottom = Scale(p, IntOf(node, "bottomMargin", margin));
            for (const UiNode& child : node.children)
                out.children.push_back(BuildLayout(p, child, next, false));
        } else {
            const bool isTop = &node == &p.tree;
            if (!isTop) {
                out.tag = static_cast<int>(*next);
                Widget& w = p.widgets[(*next)++];
                Measure(p, w, &out);
                w.measuredHint = out.hint;
                w.measuredMinimum = out.minimum;
            }
            for (const UiNode& child : node.children) {
                if (child.kind == UiNodeKind::Layout) {
                    out.children.push_back(BuildLayout(p, child, next, true));
                } else if (child.kind == UiNodeKind::Widget) {
                    BuildLayout(p, child, next, false);  // placed by no layout: keep the count
                }
            }
            if (isTop && !out.children.empty()) {
                LayoutNode inner = std::move(out.children.front());
                return inner;
            }
        }
        out.row = node.row;
        out.column = node.column;
        out.rowSpan = node.rowSpan;
        out.columnSpan = node.columnSpan;
        if (!node.alignment.empty()) out.alignment = AlignmentOf(node.alignment);
        return out;
    }

    void Measure(Panel& p, const Widget& w, LayoutNode* out) {
        const UiNode& n = *w.node;
        const TEXTMETRICW tm = Metrics(p, FontOf(p, w));
        const int fontHeight = tm.tmHeight;
        const int fieldHeight = std::max(Scale(p, 23), fontHeight + Scale(p, 8));
        const std::wstring text = w.hwnd ? WindowText(w.hwnd) : std::wstring();
        Size hint;
        Size min;
        Grow h = Grow::Preferred;
        Grow v = Grow::Preferred;
        switch (w.kind) {
            case Kind::Button: {
                const SIZE s = TextExtent(p, w, text, 0, true);
                hint = {std::max(Scale(p, 75), static_cast<int>(s.cx) + Scale(p, 16)), fieldHeight};
                min = hint;
                v = Grow::Fixed;
                break;
            }
            case Kind::Label: {
                const bool wrap = n.BoolProperty("wordWrap", false);
                const bool prefix = n.Property("buddy") != nullptr;
                const int indent = Scale(p, std::max(0, IntOf(n, "indent", 0)));
                if (wrap) {
                    const SIZE one = TextExtent(p, w, text, 0, prefix);
                    const int given = n.sizes.contains("minimumSize")
                                          ? Scale(p, n.sizes.at("minimumSize").width)
                                          : 0;
                    const int width =
                        std::max(given, std::min(static_cast<int>(one.cx), Scale(p, 360)));
                    const SIZE s = TextExtent(p, w, text, std::max(width, 1), prefix);
                    hint = {width, static_cast<int>(s.cy)};
                    min = {std::min(width, Scale(p, 80)), static_cast<int>(s.cy)};
                } else {
                    const SIZE s = TextExtent(p, w, text, 0, prefix);
                    hint = {static_cast<int>(s.cx) + indent, static_cast<int>(s.cy)};
                    min = hint;
                }
                break;
            }
            case Kind::Icon:
                hint = min = {GetSystemMetricsForDpiOr(SM_CXICON, p),
                              GetSystemMetricsForDpiOr(SM_CYICON, p)};
                h = v = Grow::Fixed;
                break;
            case Kind::Edit:
                hint = {tm.tmAveCharWidth * 17 + Scale(p, 8), fieldHeight};
                min = {tm.tmAveCharWidth * 6, fieldHeight};
                h = Grow::Expanding;
                v = Grow::Fixed;
                break;
            case Kind::Number: {
                const std::wstring widest = std::to_wstring(w.numberMax) + w.suffix;
                const SIZE s = TextExtent(p, w, widest, 0, false);
                hint = min = {static_cast<int>(s.cx) + Scale(p, 12), fieldHeight};
                v = Grow::Fixed;
                break;
            }
            case Kind::Selector: {
                int widest = 0;
                const int count = static_cast<int>(::SendMessageW(w.hwnd, CB_GETCOUNT, 0, 0));
                for (int i = 0; i < count; ++i) {
                    const auto len = ::SendMessageW(w.hwnd, CB_GETLBTEXTLEN, i, 0);
                    std::wstring item(static_cast<std::size_t>(std::max<LRESULT>(len, 0)) + 1,
                                      L'\0');
                    ::SendMessageW(w.hwnd, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()));
                    item.resize(static_cast<std::size_t>(std::max<LRESULT>(len, 0)));
                    widest =
                        std::max(widest, static_cast<int>(TextExtent(p, w, item, 0, false).cx));
                }
                RECT r;
                ::GetWindowRect(w.hwnd, &r);
                // The closed selector's height is the system's, from its font.
                const int closed = static_cast<int>(::SendMessageW(w.hwnd, CB_GETITEMHEIGHT,
                                                                   static_cast<WPARAM>(-1), 0)) +
                                   2 * ::GetSystemMetrics(SM_CYEDGE) + Scale(p, 2);
                hint = {widest + ::GetSystemMetrics(SM_CXVSCROLL) + Scale(p, 14),
                        std::max(closed, fieldHeight - Scale(p, 1))};
                min = {std::min(hint.width, Scale(p, 80)), hint.height};
                v = Grow::Fixed;
                break;
            }
            case Kind::List:
                hint = {Scale(p, 256), Scale(p, 192)};
                min = {Scale(p, 70), Scale(p, 70)};
                h = v = Grow::Expanding;
                break;
            case Kind::Progress:
                hint = {Scale(p, 160), std::max(fontHeight + Scale(p, 4), Scale(p, 18))};
                min = {Scale(p, 40), hint.height};
                h = Grow::Expanding;
                v = Grow::Fixed;
                break;
            case Kind::Group: {
                const SIZE s = TextExtent(p, w, text, 0, true);
                hint = min = {static_cast<int>(s.cx) + Scale(p, 16), fontHeight + Scale(p, 4)};
                out->insetLeft = out->insetRight = out->insetBottom = Scale(p, 2);
                out->insetTop = fontHeight;
                break;
            }
            case Kind::Led: {
                const SIZE s = TextExtent(p, w, text, 0, false);
                const int d = std::max(8, fontHeight * 3 / 4);
                hint = min = {d + d / 2 + static_cast<int>(s.cx) + Scale(p, 4),
                              std::max(d, fontHeight) + Scale(p, 4)};
                v = Grow::Fixed;
                break;
            }
            case Kind::Other:
                break;
        }
        if (auto it = n.sizes.find("minimumSize"); it != n.sizes.end()) {
            min.width = std::max(min.width, Scale(p, it->second.width));
            min.height = std::max(min.height, Scale(p, it->second.height));
        }
        hint = {std::max(hint.width, min.width), std::max(hint.height, min.height)};
        out->minimum = min;
        out->hint = hint;
        out->horizontal = GrowOf(n.horizontalPolicy, h);
        out->vertical = GrowOf(n.verticalPolicy, v);
        out->horizontalStretch = n.horizontalStretch;
        out->verticalStretch = n.verticalStretch;
    }

    static int GetSystemMetricsForDpiOr(int index, const Panel& p);

    // Lays the panel out in its client area; a window smaller than the panel's minimum grows.
    void Layout(Panel& p) {
        if (!p.hwnd || p.laying) return;
        p.laying = true;
        std::size_t next = 0;
        LayoutNode root = BuildLayout(p, p.tree, &next, true);
        RECT client;
        ::GetClientRect(p.hwnd, &client);
        const Size min = MinimumSize(root);
        p.minimumClient = min;
        if (client.right < min.width || client.bottom < min.height) {
            ResizeClient(p, std::max<int>(client.right, min.width),
                         std::max<int>(client.bottom, min.height));
            ::GetClientRect(p.hwnd, &client);
        }
        Arrange(root, Rect{0, 0, client.right, client.bottom});
        // Labels that wrap are as tall as their text at the width they got.
        if (FitWrappedHeights(p, root)) Arrange(root, Rect{0, 0, client.right, client.bottom});
        HDWP batch = ::BeginDeferWindowPos(static_cast<int>(p.widgets.size()));
        bool moved = false;
        Move(p, root, &batch, &moved);
        if (batch) ::EndDeferWindowPos(batch);
        // The panel paints behind its controls (group boxes draw only their frame): what
        // moved leaves its old place to repaint.
        if (moved) ::InvalidateRect(p.hwnd, nullptr, TRUE);
        p.laying = false;
    }

    // After a label's text changed: the panel is laid out again only when the label now
    // needs another room (a wrapping label's height hangs on the width it got: always).
    void LabelTextChanged(Panel& p, Widget& w) {
        if (!w.node->BoolProperty("wordWrap", false)) {
            LayoutNode probe;
            Measure(p, w, &probe);
            if (probe.hint == w.measuredHint && probe.minimum == w.measuredMinimum) return;
        }
        Layout(p);
    }

    bool FitWrappedHeights(Panel& p, LayoutNode& node) {
        bool changed = false;
        if (node.tag >= 0) {
            const Widget& w = p.widgets[static_cast<std::size_t>(node.tag)];
            if (w.kind == Kind::Label && w.node->BoolProperty("wordWrap", false) &&
                node.geometry.width > 0) {
                const SIZE s = TextExtent(p, w, WindowText(w.hwnd), node.geometry.width,
                                          w.node->Property("buddy") != nullptr);
                if (s.cy != node.hint.height) {
                    node.hint.height = node.minimum.height = static_cast<int>(s.cy);
                    changed = true;
                }
            }
        }
        for (LayoutNode& c : node.children) changed = FitWrappedHeights(p, c) || changed;
        return changed;
    }

    void Move(Panel& p, const LayoutNode& node, HDWP* batch, bool* moved) {
        if (node.tag >= 0) {
            Widget& w = p.widgets[static_cast<std::size_t>(node.tag)];
            if (w.hwnd && !(w.placed == node.geometry)) {
                w.placed = node.geometry;
                *moved = true;
                const Rect& g = node.geometry;
                int height = g.height;
                if (w.kind == Kind::Selector) {
                    // The height given a selector includes its dropped list.
                    const int item =
                        static_cast<int>(::SendMessageW(w.hwnd, CB_GETITEMHEIGHT, 0, 0));
                    height += item * kDroppedItems + Scale(p, 4);
                }
                if (*batch) {
                    *batch = ::DeferWindowPos(*batch, w.hwnd, nullptr, g.x, g.y, g.width, height,
                                              SWP_NOZORDER | SWP_NOACTIVATE);
                } else {
                    ::SetWindowPos(w.hwnd, nullptr, g.x, g.y, g.width, height,
                                   SWP_NOZORDER | SWP_NOACTIVATE);
                }
            }
        }
        for (const LayoutNode& c : node.children) Move(p, c, batch, moved);
    }

    DWORD StyleOf(const Panel& p) const {
        return static_cast<DWORD>(::GetWindowLongPtrW(p.hwnd, GWL_STYLE));
    }

    void ResizeClient(Panel& p, int width, int height) {
        RECT r{0, 0, width, height};
        ::AdjustWindowRectEx(&r, StyleOf(p), ::GetMenu(p.hwnd) != nullptr,
                             static_cast<DWORD>(::GetWindowLongPtrW(p.hwnd, GWL_EXSTYLE)));
        ::SetWindowPos(p.hwnd, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    // ---- events ------------------------------------------------------------------------

    HWND Owner() {
        for (auto& [h, p] : panels) {
            if (p->hwnd) return p->hwnd;
        }
        return nullptr;
    }

    HWND PopupOwner() {
        HWND active = ::GetActiveWindow();
        for (auto& [h, p] : panels) {
            if (p->hwnd == active) return active;
        }
        return Owner();
    }

    void OnClose(Panel& p) {
        if (p.callback) p.callback(p.handle, EVENT_CLOSE, nullptr, 0, 0);
    }

    void OnCommand(Panel& p, WPARAM wp, LPARAM lp) {
        const int id = LOWORD(wp);
        const int code = HIWORD(wp);
        if (lp == 0) {
            if (id >= kMenuIdBase) {
                OnMenu(p, id - kMenuIdBase);
            } else if (id == IDCANCEL && p.closeBox) {
                // Escape: as the close box.
                OnClose(p);
            }
            return;
        }
        if (settingProgrammatically || id < kControlIdBase || id >= kOtherIdBase) return;
        Widget* w = p.Control(id - kControlIdBase);
        if (!w || !::IsWindowEnabled(w->hwnd)) return;  // a dimmed control delivers nothing
        if (w->kind == Kind::Number && code == EN_CHANGE) {
            // Typed by the operator: the value is the number the box holds now.
            std::string typed = Utf8(WindowText(w->hwnd));
            int v = 0;
            if (ParseInt(typed, &v)) w->number = std::clamp(v, w->numberMin, w->numberMax);
        }
        if (!w->callback) return;
        int event = 0;
        switch (w->kind) {
            case Kind::Button:
                if (code == BN_CLICKED) event = EVENT_COMMIT;
                break;
            case Kind::Selector:
                if (code == CBN_SELCHANGE) event = EVENT_VAL_CHANGED;
                break;
            case Kind::List:
                if (code == LBN_SELCHANGE) event = EVENT_VAL_CHANGED;
                if (code == LBN_DBLCLK) event = EVENT_COMMIT;
                break;
            case Kind::Edit:
            case Kind::Number:
                if (code == EN_CHANGE) event = EVENT_VAL_CHANGED;
                if (code == EN_KILLFOCUS) event = EVENT_COMMIT;
                break;
            default:
                break;
        }
        if (event == 0) return;
        const int handle = p.handle;
        const int control = w->ctrlId;
        w->callback(handle, control, event, nullptr, 0, 0);
    }

    void OnMenu(Panel& p, int item) {
        MenuBar* m = MenuBarOf(p.handle);
        if (!m || !m->items.contains(item) || !m->Delivers(item)) return;
        const int handle = m->handle;
        if (m->items[item].checkable) {
            // As a checkable item does: it changes its check, then tells the program.
            SetChecked(*m, item, !m->checked.contains(item));
        }
        auto cb = m->callbacks.find(item);
        if (cb == m->callbacks.end() || !cb->second.menu) return;
        cb->second.menu(handle, item, nullptr, p.handle);
    }

    void SetChecked(MenuBar& m, int item, bool on) {
        if (on) {
            m.checked.insert(item);
        } else {
            m.checked.erase(item);
        }
        ::CheckMenuItem(m.menu, static_cast<UINT>(kMenuIdBase + item),
                        MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED));
    }

    void ApplyDimming(MenuBar& m) {
        for (int i = 0; i < m.topLevelCount; ++i) {
            ::EnableMenuItem(m.menu, static_cast<UINT>(i),
                             MF_BYPOSITION | (m.dimmed ? MF_GRAYED : MF_ENABLED));
        }
        for (const auto& [id, info] : m.items) {
            ::EnableMenuItem(m.menu, static_cast<UINT>(kMenuIdBase + id),
                             MF_BYCOMMAND | (m.Delivers(id) ? MF_ENABLED : MF_GRAYED));
        }
        Panel* p = FindPanel(m.panel);
        if (p && p->hwnd) ::DrawMenuBar(p->hwnd);
    }

    void FreeMenuBar(MenuBar& m, bool detach) {
        Panel* p = FindPanel(m.panel);
        if (detach && p && p->hwnd && ::GetMenu(p->hwnd) == m.menu) ::SetMenu(p->hwnd, nullptr);
        if (m.menu) ::DestroyMenu(m.menu);
        if (m.accelerators) ::DestroyAcceleratorTable(m.accelerators);
        m.menu = nullptr;
        m.accelerators = nullptr;
    }

    // A message of the loop: the menu bar's shortcuts, then the panel's keyboard (Tab, Enter,
    // Escape, Alt+mnemonics), then the control.
    void Dispatch(MSG& msg) {
        HWND root = msg.hwnd ? ::GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
        for (auto& [h, p] : panels) {
            if (p->hwnd != root) continue;
            if (MenuBar* m = MenuBarOf(h);
                m && m->accelerators && ::TranslateAcceleratorW(root, m->accelerators, &msg)) {
                return;
            }
            if (::IsDialogMessageW(root, &msg)) return;
            break;
        }
        if (root && ::GetPropW(root, kDialogKeysProperty) && ::IsDialogMessageW(root, &msg)) return;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }

    LRESULT PanelMessage(Panel& p, UINT msg, WPARAM wp, LPARAM lp) {
        switch (msg) {
            case WM_COMMAND:
                OnCommand(p, wp, lp);
                return 0;
            case WM_CLOSE:
                // A panel goes only when the program discards it: the close box asks its callback.
                if (p.closeBox) OnClose(p);
                return 0;
            case WM_SIZE:
                if (wp != SIZE_MINIMIZED) Layout(p);
                return 0;
            case WM_GETMINMAXINFO: {
                auto* info = reinterpret_cast<MINMAXINFO*>(lp);
                RECT r{0, 0, p.minimumClient.width, p.minimumClient.height};
                ::AdjustWindowRectEx(&r, StyleOf(p), ::GetMenu(p.hwnd) != nullptr,
                                     static_cast<DWORD>(::GetWindowLongPtrW(p.hwnd, GWL_EXSTYLE)));
                info->ptMinTrackSize = {r.right - r.left, r.bottom - r.top};
                return 0;
            }
            case 0x02E0: {  // WM_DPICHANGED: the window moved to a monitor of another density
                p.dpi = HIWORD(wp);
                MakeFonts(p);
                for (Widget& w : p.widgets) {
                    if (w.hwnd)
                        ::SendMessageW(w.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(FontOf(p, w)),
                                       TRUE);
                }
                const RECT* r = reinterpret_cast<const RECT*>(lp);
                ::SetWindowPos(p.hwnd, nullptr, r->left, r->top, r->right - r->left,
                               r->bottom - r->top, SWP_NOZORDER | SWP_NOACTIVATE);
                Layout(p);
                return 0;
            }
            case WM_NEXTDLGCTL: {
                // What the dialog manager sends on a label's Alt+mnemonic: the focus goes to
                // the window given, or on to the next (previous) control the keyboard reaches.
                HWND to = LOWORD(lp) ? reinterpret_cast<HWND>(wp)
                                     : ::GetNextDlgTabItem(p.hwnd, ::GetFocus(), wp != 0);
                if (to) ::SetFocus(to);
                return 0;
            }
            case DM_GETDEFID:
                for (const Widget& w : p.widgets) {
                    if (w.isDefault && w.hwnd && ::IsWindowEnabled(w.hwnd)) {
                        return MAKELRESULT(::GetDlgCtrlID(w.hwnd), DC_HASDEFID);
                    }
                }
                return 0;
            case kDestroyLater:
                ::DestroyWindow(p.hwnd);
                return 0;
            default:
                break;
        }
        return ::DefWindowProcW(p.hwnd, msg, wp, lp);
    }
};

UINT WindowDpi(HWND hwnd) {
    return DpiOf(hwnd);
}

HFONT CreatePanelFont(UINT dpi, int percent, bool bold) {
    const LOGFONTW lf = PanelLogFont(dpi, percent, bold);
    return ::CreateFontIndirectW(&lf);
}

int Win32Toolkit::Impl::GetSystemMetricsForDpiOr(int index, const Panel& p) {
    using Fn = int(WINAPI*)(int, UINT);
    static const auto forDpi = reinterpret_cast<Fn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetSystemMetricsForDpi")));
    return forDpi ? forDpi(index, p.dpi) : ::GetSystemMetrics(index);
}

namespace {

LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        return ::DefWindowProcW(hwnd, msg, wp, lp);
    }
    auto* p =
        reinterpret_cast<Win32Toolkit::Impl::Panel*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!p || !p->impl || p->hwnd != hwnd) return ::DefWindowProcW(hwnd, msg, wp, lp);
    if (msg == WM_NCDESTROY) {
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        p->hwnd = nullptr;
        auto& graveyard = p->impl->discarded;
        std::erase_if(graveyard, [p](const std::unique_ptr<Win32Toolkit::Impl::Panel>& d) {
            if (d.get() != p) return false;
            if (d->font) ::DeleteObject(d->font);
            if (d->fixedFont) ::DeleteObject(d->fixedFont);
            return true;
        });
        return ::DefWindowProcW(hwnd, msg, wp, lp);
    }
    if (p->discarded) {
        if (msg == kDestroyLater) {
            ::DestroyWindow(hwnd);
            return 0;
        }
        return msg == WM_CLOSE || msg == WM_COMMAND ? 0 : ::DefWindowProcW(hwnd, msg, wp, lp);
    }
    return p->impl->PanelMessage(*p, msg, wp, lp);
}

// "Ctrl+R", "Ctrl+Shift+F5": the accelerator of a menu item; false when it is not one we read.
bool ParseShortcut(const std::string& text, ACCEL* accel) {
    BYTE flags = FVIRTKEY;
    std::string rest = text;
    for (;;) {
        const std::size_t plus = rest.find('+');
        if (plus == std::string::npos || plus + 1 == rest.size()) break;
        const std::string mod = rest.substr(0, plus);
        if (mod == "Ctrl") {
            flags |= FCONTROL;
        } else if (mod == "Shift") {
            flags |= FSHIFT;
        } else if (mod == "Alt") {
            flags |= FALT;
        } else {
            return false;
        }
        rest = rest.substr(plus + 1);
    }
    WORD key = 0;
    if (rest.size() == 1 &&
        ((rest[0] >= 'A' && rest[0] <= 'Z') || (rest[0] >= '0' && rest[0] <= '9'))) {
        key = static_cast<WORD>(rest[0]);
    } else if (rest.size() >= 2 && rest[0] == 'F' &&
               std::isdigit(static_cast<unsigned char>(rest[1]))) {
        const int n = std::atoi(rest.c_str() + 1);
        if (n < 1 || n > 24) return false;
        key = static_cast<WORD>(VK_F1 + n - 1);
    } else if (rest == "Del") {
        key = VK_DELETE;
    } else {
        return false;
    }
    accel->fVirt = flags;
    accel->key = key;
    return true;
}

HMENU BuildMenu(const std::vector<UiMenuNode>& entries, const UiPanelInfo& info, bool bar,
                std::vector<ACCEL>* accels) {
    HMENU menu = bar ? ::CreateMenu() : ::CreatePopupMenu();
    for (const UiMenuNode& e : entries) {
        if (e.separator) {
            ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        } else if (e.isMenu) {
            HMENU sub = BuildMenu(e.entries, info, false, accels);
            ::AppendMenuW(menu, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(sub),
                          Utf16(e.title).c_str());
        } else if (const UiMenuItemInfo* item = info.MenuItem(e.itemId)) {
            std::string text = item->text;
            ACCEL accel{};
            if (!item->shortcut.empty() && ParseShortcut(item->shortcut, &accel)) {
                text += "\t" + item->shortcut;
                accel.cmd = static_cast<WORD>(kMenuIdBase + item->id);
                accels->push_back(accel);
            }
            ::AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(kMenuIdBase + item->id),
                          Utf16(text).c_str());
        }
    }
    return menu;
}

}  // namespace

// ---------------------------------------------------------------------------------------

Win32Toolkit::Win32Toolkit() : d_(std::make_unique<Impl>()) {
    RegisterClasses();
}

Win32Toolkit::~Win32Toolkit() = default;

int Win32Toolkit::LoadPanel(int parentPanel, const std::string& resourceFile, int panelResourceId) {
    const std::string_view xml = UiResource(resourceFile, panelResourceId);
    if (xml.empty()) {
        Warn("no panel " + std::to_string(panelResourceId) + " in " + resourceFile);
        return kUiErrNoResource;
    }
    HWND owner = nullptr;
    if (parentPanel != 0) {
        Impl::Panel* pp = d_->FindPanel(parentPanel);
        if (!pp) return kUiErrBadHandle;
        owner = pp->hwnd;
    }
    UiPanelInfo info;
    auto panel = std::make_unique<Impl::Panel>();
    if (!ReadUiPanel(xml, &info) || !ReadUiLayout(xml, &panel->tree)) {
        Warn("panel " + std::to_string(panelResourceId) + " of " + resourceFile +
             " cannot be read");
        return kUiErrNoResource;
    }
    if (!owner) owner = d_->Owner();
    Impl::Panel& p = *panel;
    p.impl = d_.get();
    p.handle = NextHandle();
    p.closeBox = info.closeBox;
    if (!info.callback.empty()) {
        const CallbackEntry* e = FindCallback(info.callback);
        if (e && e->panel) {
            p.callback = e->panel;
        } else {
            Warn("no panel callback named " + info.callback);
        }
    }
    // Message panels stay in front of the panel that was there first (the main panel), yet
    // leave it usable: they are never modal.
    // Not clipping its children: the panel paints behind the group boxes, which draw only
    // their frame.
    const DWORD style =
        owner ? (WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME) : WS_OVERLAPPEDWINDOW;
    p.hwnd =
        ::CreateWindowExW(WS_EX_CONTROLPARENT | (owner ? WS_EX_DLGMODALFRAME : 0),
                          kPanelWindowClass, Utf16(info.title).c_str(), style, CW_USEDEFAULT,
                          CW_USEDEFAULT, 100, 100, owner, nullptr, ::GetModuleHandleW(nullptr), &p);
    if (!p.hwnd) {
        Warn("panel " + std::to_string(panelResourceId) + " of " + resourceFile + ": no window");
        return kUiErrNoResource;
    }
    if (!p.closeBox) {
        ::EnableMenuItem(::GetSystemMenu(p.hwnd, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
    }
    p.dpi = DpiOf(p.hwnd);
    d_->MakeFonts(p);
    d_->CreateWidgets(p, p.tree, true);
    d_->Bind(p, info);

    // The size the resource gives the panel, at least what the layout needs.
    std::size_t next = 0;
    LayoutNode root = d_->BuildLayout(p, p.tree, &next, true);
    const Size natural = NaturalSize(root);
    Size client = natural;
    if (auto it = p.tree.sizes.find("minimumSize"); it != p.tree.sizes.end()) {
        client.width = std::max(client.width, d_->Scale(p, it->second.width));
        client.height = std::max(client.height, d_->Scale(p, it->second.height));
    }
    if (auto it = p.tree.sizes.find("geometry"); it != p.tree.sizes.end()) {
        client.width = std::max(client.width, d_->Scale(p, it->second.width));
        client.height = std::max(client.height, d_->Scale(p, it->second.height));
    }
    d_->ResizeClient(p, client.width, client.height);
    d_->Layout(p);
    const int handle = p.handle;
    d_->panels.emplace(handle, std::move(panel));
    return handle;
}

int Win32Toolkit::DisplayPanel(int panel) {
    Impl::Panel* p = d_->FindPanel(panel);
    if (!p) return kUiErrBadHandle;
    if (!p->placed) {
        // Shown for the first time: centred on its owner, whole on the owner's monitor.
        p->placed = true;
        HWND owner = ::GetWindow(p->hwnd, GW_OWNER);
        if (owner && ::IsWindowVisible(owner)) {
            RECT o;
            RECT r;
            ::GetWindowRect(owner, &o);
            ::GetWindowRect(p->hwnd, &r);
            const int w = r.right - r.left;
            const int h = r.bottom - r.top;
            MONITORINFO mi{};
            mi.cbSize = sizeof(mi);
            ::GetMonitorInfoW(::MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST), &mi);
            const RECT& a = mi.rcWork;
            const int x =
                std::clamp(static_cast<int>((o.left + o.right - w) / 2), static_cast<int>(a.left),
                           std::max(static_cast<int>(a.left), static_cast<int>(a.right) - w));
            const int y =
                std::clamp(static_cast<int>((o.top + o.bottom - h) / 2), static_cast<int>(a.top),
                           std::max(static_cast<int>(a.top), static_cast<int>(a.bottom) - h));
            ::SetWindowPos(p->hwnd, nullptr, x, y, 0, 0,
                           SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    ::ShowWindow(p->hwnd, SW_SHOW);
    ::SetForegroundWindow(p->hwnd);
    ::UpdateWindow(p->hwnd);
    return 0;
}

int Win32Toolkit::DiscardPanel(int panel) {
    auto it = d_->panels.find(panel);
    if (it == d_->panels.end()) return kUiErrBadHandle;
    for (auto m = d_->menuBars.begin(); m != d_->menuBars.end();) {
        if (m->second.panel == panel) {
            d_->FreeMenuBar(m->second, true);
            m = d_->menuBars.erase(m);
        } else {
            ++m;
        }
    }
    // Panels it owns go with it, as child panels go with their parent.
    std::vector<int> owned;
    for (auto& [h, p] : d_->panels) {
        if (h != panel && p->hwnd && ::GetWindow(p->hwnd, GW_OWNER) == it->second->hwnd)
            owned.push_back(h);
    }
    std::unique_ptr<Impl::Panel> p = std::move(it->second);
    d_->panels.erase(it);
    p->discarded = true;
    // Later, not now: the discard often comes from a callback of one of its own buttons.
    ::ShowWindow(p->hwnd, SW_HIDE);
    ::PostMessageW(p->hwnd, kDestroyLater, 0, 0);
    d_->discarded.push_back(std::move(p));
    for (int h : owned) {
        // Still owned by the hidden window until it goes: discard them first.
        if (d_->panels.contains(h)) DiscardPanel(h);
    }
    return 0;
}

int Win32Toolkit::LoadMenuBar(int panel, const std::string& resourceFile, int menuBarResourceId) {
    Impl::Panel* p = d_->FindPanel(panel);
    if (!p) return kUiErrBadHandle;
    const std::string_view xml = UiMenuBarResource(resourceFile, menuBarResourceId);
    UiPanelInfo info;
    if (xml.empty() || !ReadUiPanel(xml, &info)) {
        Warn("no menu bar " + std::to_string(menuBarResourceId) + " in " + resourceFile);
        return kUiErrNoResource;
    }
    // One menu bar per panel: a new one replaces the old.
    for (auto it = d_->menuBars.begin(); it != d_->menuBars.end();) {
        if (it->second.panel == panel) {
            d_->FreeMenuBar(it->second, true);
            it = d_->menuBars.erase(it);
        } else {
            ++it;
        }
    }
    Impl::MenuBar m;
    m.handle = NextHandle();
    m.panel = panel;
    std::vector<ACCEL> accels;
    m.menu = BuildMenu(info.menuTree, info, true, &accels);
    m.topLevelCount = ::GetMenuItemCount(m.menu);
    if (!accels.empty())
        m.accelerators = ::CreateAcceleratorTableW(accels.data(), static_cast<int>(accels.size()));
    for (const UiMenuItemInfo& item : info.menuItems) {
        m.items[item.id] = item;
        if (item.callback.empty()) continue;
        const CallbackEntry* e = FindCallback(item.callback);
        if (!e || !e->menu) {
            Warn("no menu callback named " + item.callback);
            continue;
        }
        m.callbacks[item.id] = *e;
    }
    // The panel's first bar adds to the window rather than taking from the panel; later ones
    // (the lock takes the bar away and gives a new one back) leave the window as it is.
    RECT client;
    ::GetClientRect(p->hwnd, &client);
    ::SetMenu(p->hwnd, m.menu);
    if (!p->hadMenuBar) d_->ResizeClient(*p, client.right, client.bottom);
    p->hadMenuBar = true;
    ::DrawMenuBar(p->hwnd);
    const int handle = m.handle;
    d_->menuBars.emplace(handle, std::move(m));
    return handle;
}

int Win32Toolkit::DiscardMenuBar(int menuBar) {
    Impl::MenuBar* m = d_->FindMenuBar(menuBar);
    if (!m) return kUiErrBadHandle;
    d_->FreeMenuBar(*m, true);
    d_->menuBars.erase(menuBar);
    return 0;
}

int Win32Toolkit::SetMenuBarAttribute(int menuBar, int menuItem, int attribute, int value) {
    Impl::MenuBar* m = d_->FindMenuBar(menuBar);
    if (!m) return kUiErrBadHandle;
    if (menuItem == 0) {
        if (attribute != ATTR_DIMMED) return kUiErrNotSupported;
        m->dimmed = value != 0;
        d_->ApplyDimming(*m);
        return 0;
    }
    auto it = m->items.find(menuItem);
    if (it == m->items.end()) return kUiErrBadHandle;
    if (attribute == ATTR_DIMMED) {
        if (value != 0) {
            m->dimmedItems.insert(menuItem);
        } else {
            m->dimmedItems.erase(menuItem);
        }
        d_->ApplyDimming(*m);
        return 0;
    }
    if (attribute == ATTR_CHECKED && it->second.checkable) {
        d_->SetChecked(*m, menuItem, value != 0);
        return 0;
    }
    return kUiErrNotSupported;
}

int Win32Toolkit::GetMenuBarAttribute(int menuBar, int menuItem, int attribute, int* value) {
    Impl::MenuBar* m = d_->FindMenuBar(menuBar);
    if (!m) return kUiErrBadHandle;
    bool on = false;
    if (menuItem == 0) {
        if (attribute != ATTR_DIMMED) return kUiErrNotSupported;
        on = m->dimmed;
    } else {
        auto it = m->items.find(menuItem);
        if (it == m->items.end()) return kUiErrBadHandle;
        if (attribute == ATTR_DIMMED) {
            on = m->dimmedItems.contains(menuItem);
        } else if (attribute == ATTR_CHECKED && it->second.checkable) {
            on = m->checked.contains(menuItem);
        } else {
            return kUiErrNotSupported;
        }
    }
    if (value) *value = on ? 1 : 0;
    return 0;
}

int Win32Toolkit::RunUserInterface() {
    if (d_->quitPending) {
        d_->quitPending = false;
        return d_->quitCode;
    }
    ++d_->loops;
    d_->quitRequested = false;
    while (!d_->quitRequested) {
        MSG msg;
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {  // WM_QUIT: the outer loops end too
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            d_->quitCode = static_cast<int>(msg.wParam);
            break;
        }
        if (got < 0) break;
        d_->Dispatch(msg);
    }
    d_->quitRequested = false;
    --d_->loops;
    return d_->quitCode;
}

int Win32Toolkit::QuitUserInterface(int returnCode) {
    d_->quitCode = returnCode;
    if (d_->loops > 0) {
        d_->quitRequested = true;
        ::PostThreadMessageW(::GetCurrentThreadId(), WM_NULL, 0, 0);  // wakes GetMessage
    } else {
        // Asked from a callback before the loop runs: the loop returns at once.
        d_->quitPending = true;
    }
    return 0;
}

int Win32Toolkit::ProcessSystemEvents() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        d_->Dispatch(msg);
        if (d_->quitRequested) break;
    }
    return 0;
}

namespace {

// Sets a window's text without the change reaching the program as the operator's.
struct Quietly {
    bool& flag;
    bool was;
    explicit Quietly(bool& f) : flag(f), was(f) { flag = true; }
    ~Quietly() { flag = was; }
};

}  // namespace

int Win32Toolkit::SetCtrlVal(int panel, int control, int value) {
    Impl::Panel* p = d_->FindPanel(panel);
    Impl::Widget* w = p ? p->Control(control) : nullptr;
    if (!w || !w->hwnd) return kUiErrBadHandle;
    Quietly quiet(d_->settingProgrammatically);
    switch (w->kind) {
        case Kind::Led:
            ::SendMessageW(w->hwnd, kLedSetLit, value != 0, 0);
            return 0;
        case Kind::Progress:
            // The nearest value in range, as the Qt program shows.
            ::SendMessageW(w->hwnd, PBM_SETPOS, std::clamp(value, w->progressMin, w->progressMax),
                           0);
            return 0;
        case Kind::Number:
            w->number = std::clamp(value, w->numberMin, w->numberMax);
            ::SetWindowTextW(w->hwnd, Impl::NumberText(*w).c_str());
            return 0;
        case Kind::Selector:
        case Kind::List: {
            const bool list = w->kind == Kind::List;
            const int count =
                static_cast<int>(::SendMessageW(w->hwnd, list ? LB_GETCOUNT : CB_GETCOUNT, 0, 0));
            for (int i = 0; i < count; ++i) {
                if (static_cast<int>(::SendMessageW(w->hwnd, list ? LB_GETITEMDATA : CB_GETITEMDATA,
                                                    i, 0)) == value) {
                    ::SendMessageW(w->hwnd, list ? LB_SETCURSEL : CB_SETCURSEL, i, 0);
                    return 0;
                }
            }
            return kUiErrOutOfRange;
        }
        case Kind::Label:
            ::SetWindowTextW(w->hwnd, std::to_wstring(value).c_str());
            d_->LabelTextChanged(*p, *w);
            return 0;
        case Kind::Edit:
            ::SetWindowTextW(w->hwnd, std::to_wstring(value).c_str());
            return 0;
        default:
            return kUiErrNotSupported;
    }
}

int Win32Toolkit::SetCtrlVal(int panel, int control, const std::string& text) {
    Impl::Panel* p = d_->FindPanel(panel);
    Impl::Widget* w = p ? p->Control(control) : nullptr;
    if (!w || !w->hwnd) return kUiErrBadHandle;
    Quietly quiet(d_->settingProgrammatically);
    const std::wstring t = Utf16(text);
    switch (w->kind) {
        case Kind::Label:
            ::SetWindowTextW(w->hwnd, t.c_str());
            d_->LabelTextChanged(*p, *w);
            return 0;
        case Kind::Edit:
            ::SetWindowTextW(w->hwnd, t.c_str());
            return 0;
        case Kind::Selector: {
            const auto i = ::SendMessageW(w->hwnd, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                          reinterpret_cast<LPARAM>(t.c_str()));
            if (i == CB_ERR) return kUiErrOutOfRange;
            ::SendMessageW(w->hwnd, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
            return 0;
        }
        default:
            return kUiErrNotSupported;
    }
}

int Win32Toolkit::GetCtrlVal(int panel, int control, int* value) {
    Impl::Widget* w = d_->Control(panel, control);
    if (!w || !w->hwnd) return kUiErrBadHandle;
    int v = 0;
    switch (w->kind) {
        case Kind::Led:
            v = static_cast<int>(::SendMessageW(w->hwnd, kLedGetLit, 0, 0));
            break;
        case Kind::Progress:
            v = static_cast<int>(::SendMessageW(w->hwnd, PBM_GETPOS, 0, 0));
            break;
        case Kind::Number:
            v = w->number;
            break;
        case Kind::Selector:
        case Kind::List: {
            const bool list = w->kind == Kind::List;
            const auto i = ::SendMessageW(w->hwnd, list ? LB_GETCURSEL : CB_GETCURSEL, 0, 0);
            if (i < 0) return kUiErrOutOfRange;
            v = static_cast<int>(::SendMessageW(w->hwnd, list ? LB_GETITEMDATA : CB_GETITEMDATA,
                                                static_cast<WPARAM>(i), 0));
            break;
        }
        case Kind::Button:
            v = 0;  // a push button holds no state
            break;
        case Kind::Label:
        case Kind::Edit:
            if (!ParseInt(Utf8(WindowText(w->hwnd)), &v)) return kUiErrNotSupported;
            break;
        default:
            return kUiErrNotSupported;
    }
    if (value) *value = v;
    return 0;
}

int Win32Toolkit::SetCtrlAttribute(int panel, int control, int attribute, int value) {
    Impl::Panel* p = d_->FindPanel(panel);
    Impl::Widget* w = p ? p->Control(control) : nullptr;
    if (!w || !w->hwnd) return kUiErrBadHandle;
    if (attribute != ATTR_DIMMED) return kUiErrNotSupported;
    const bool enabled = value == 0;
    if (!enabled && ::GetFocus() == w->hwnd) {
        // Focus leaves a control that is dimmed, to the next one the keyboard reaches (else the
        // panel): with no focus at all, Alt+mnemonics (Stop's during a job) would reach nothing.
        HWND next = ::GetNextDlgTabItem(p->hwnd, w->hwnd, FALSE);
        ::SetFocus(next && next != w->hwnd ? next : p->hwnd);
    }
    ::EnableWindow(w->hwnd, enabled);
    for (HWND l : w->buddies) ::EnableWindow(l, enabled);
    return 0;
}

int Win32Toolkit::SetCtrlAttribute(int panel, int control, int attribute, const std::string& text) {
    Impl::Panel* p = d_->FindPanel(panel);
    Impl::Widget* w = p ? p->Control(control) : nullptr;
    if (!w || !w->hwnd) return kUiErrBadHandle;
    const std::wstring t = Utf16(text);
    Quietly quiet(d_->settingProgrammatically);
    if (attribute == ATTR_LABEL_TEXT) {
        switch (w->kind) {
            case Kind::Led:
            case Kind::Button:
            case Kind::Group:
            case Kind::Label:
                ::SetWindowTextW(w->hwnd, t.c_str());
                break;
            default:
                if (w->buddies.empty()) return kUiErrNotSupported;
                for (HWND l : w->buddies) ::SetWindowTextW(l, t.c_str());
                break;
        }
        d_->Layout(*p);
        return 0;
    }
    if (attribute == ATTR_STATUS_TEXT) {
        if (w->kind != Kind::Label && w->kind != Kind::Edit) return kUiErrNotSupported;
        ::SetWindowTextW(w->hwnd, t.c_str());
        if (w->kind == Kind::Label) d_->LabelTextChanged(*p, *w);
        return 0;
    }
    return kUiErrNotSupported;
}

int Win32Toolkit::InsertListItem(int panel, int control, int index, const std::string& label,
                                 int value) {
    Impl::Widget* w = d_->Control(panel, control);
    if (!w || !w->hwnd) return kUiErrBadHandle;
    if (w->kind != Kind::List && w->kind != Kind::Selector) return kUiErrNotSupported;
    const bool list = w->kind == Kind::List;
    const int count =
        static_cast<int>(::SendMessageW(w->hwnd, list ? LB_GETCOUNT : CB_GETCOUNT, 0, 0));
    const int at = InsertIndex(index, count);
    if (at < 0) return kUiErrOutOfRange;
    const std::wstring t = Utf16(label);
    Quietly quiet(d_->settingProgrammatically);
    const auto i = ::SendMessageW(w->hwnd, list ? LB_INSERTSTRING : CB_INSERTSTRING,
                                  static_cast<WPARAM>(at), reinterpret_cast<LPARAM>(t.c_str()));
    if (i < 0) return kUiErrOutOfRange;
    ::SendMessageW(w->hwnd, list ? LB_SETITEMDATA : CB_SETITEMDATA, static_cast<WPARAM>(i), value);
    if (list) {
        // A line wider than the list can be scrolled to.
        Impl::Panel* p = d_->FindPanel(panel);
        const LONG width = d_->TextExtent(*p, *w, t, 0, false).cx + 8;
        if (width > static_cast<LONG>(::SendMessageW(w->hwnd, LB_GETHORIZONTALEXTENT, 0, 0))) {
            ::SendMessageW(w->hwnd, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(width), 0);
        }
    }
    return 0;
}

int Win32Toolkit::SetCtrlIndex(int panel, int control, int index) {
    Impl::Widget* w = d_->Control(panel, control);
    if (!w || !w->hwnd) return kUiErrBadHandle;
    if (w->kind != Kind::List && w->kind != Kind::Selector) return kUiErrNotSupported;
    const bool list = w->kind == Kind::List;
    const int count =
        static_cast<int>(::SendMessageW(w->hwnd, list ? LB_GETCOUNT : CB_GETCOUNT, 0, 0));
    if (index < 0 || index >= count) return kUiErrOutOfRange;
    Quietly quiet(d_->settingProgrammatically);
    ::SendMessageW(w->hwnd, list ? LB_SETCURSEL : CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    return 0;
}

int Win32Toolkit::ResetTextBox(int panel, int control, const std::string& text) {
    Impl::Panel* p = d_->FindPanel(panel);
    Impl::Widget* w = p ? p->Control(control) : nullptr;
    if (!w || !w->hwnd) return kUiErrBadHandle;
    if (w->kind != Kind::Edit && w->kind != Kind::Label) return kUiErrNotSupported;
    Quietly quiet(d_->settingProgrammatically);
    ::SetWindowTextW(w->hwnd, Utf16(text).c_str());
    if (w->kind == Kind::Label) d_->LabelTextChanged(*p, *w);
    return 0;
}

int Win32Toolkit::InsertTextBoxLine(int panel, int control, int index, const std::string& text) {
    Impl::Panel* p = d_->FindPanel(panel);
    Impl::Widget* w = p ? p->Control(control) : nullptr;
    if (!w || !w->hwnd) return kUiErrBadHandle;
    if (w->kind != Kind::Edit && w->kind != Kind::Label) return kUiErrNotSupported;
    // Text boxes as lines of text; an empty box has no line.
    const std::string current = Utf8(WindowText(w->hwnd));
    std::vector<std::string> lines;
    for (std::size_t start = 0; !current.empty();) {
        const std::size_t nl = current.find('\n', start);
        lines.push_back(
            current.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    const int at = InsertIndex(index, static_cast<int>(lines.size()));
    if (at < 0) return kUiErrOutOfRange;
    lines.insert(lines.begin() + at, text);
    std::string joined;
    for (std::size_t i = 0; i < lines.size(); ++i) joined += (i ? "\n" : "") + lines[i];
    return ResetTextBox(panel, control, joined);
}

int Win32Toolkit::MessagePopup(const std::string& title, const std::string& message) {
    ::MessageBoxW(d_->PopupOwner(), Utf16(message).c_str(), Utf16(title).c_str(),
                  MB_OK | MB_ICONINFORMATION);
    return 0;
}

int Win32Toolkit::ConfirmPopup(const std::string& title, const std::string& question) {
    const int answer =
        ::MessageBoxW(d_->PopupOwner(), Utf16(question).c_str(), Utf16(title).c_str(),
                      MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON1);
    return answer == IDYES ? 1 : 0;
}

int Win32Toolkit::FileSelectPopup(const std::string& defaultDirectory,
                                  const std::string& defaultFileSpec, int buttonLabel,
                                  std::string* chosenPath) {
    const bool save = buttonLabel == FILE_SELECT_SAVE;
    // "CLA files (*.cla)" for a plain "*.ext" pattern, then every file.
    std::wstring filter;
    std::wstring extension;
    const std::wstring pattern = Utf16(defaultFileSpec);
    if (!pattern.empty() && pattern != L"*" && pattern != L"*.*") {
        const std::size_t dot = pattern.rfind(L'.');
        const std::wstring suffix =
            dot == std::wstring::npos ? std::wstring() : pattern.substr(dot + 1);
        if (pattern.starts_with(L"*.") && suffix.find(L'*') == std::wstring::npos &&
            !suffix.empty()) {
            std::wstring upper = suffix;
            std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
            filter += upper + L" files (" + pattern + L")";
            extension = suffix;
        } else {
            filter += L"Files (" + pattern + L")";
        }
        filter.push_back(L'\0');
        filter += pattern;
        filter.push_back(L'\0');
    }
    filter += L"All files (*.*)";
    filter.push_back(L'\0');
    filter += L"*.*";
    filter.push_back(L'\0');

    std::wstring directory = Utf16(defaultDirectory);
    const DWORD attributes =
        directory.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(directory.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        wchar_t cwd[MAX_PATH * 4] = {};
        ::GetCurrentDirectoryW(MAX_PATH * 4, cwd);
        directory = cwd;
    }
    std::vector<wchar_t> file(32768, L'\0');
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = d_->PopupOwner();
    ofn.lpstrFilter = filter.c_str();
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrInitialDir = directory.c_str();
    ofn.lpstrTitle = save ? L"Save file" : L"Load file";
    ofn.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR |
                (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
    if (save && !extension.empty()) ofn.lpstrDefExt = extension.c_str();
    const BOOL chosen = save ? ::GetSaveFileNameW(&ofn) : ::GetOpenFileNameW(&ofn);
    if (!chosen || file[0] == L'\0') return 0;
    if (chosenPath) *chosenPath = Utf8(file.data());
    return 1;
}

HWND Win32Toolkit::PanelWindow(int panel) const {
    Impl::Panel* p = d_->FindPanel(panel);
    return p ? p->hwnd : nullptr;
}

HWND Win32Toolkit::ControlWindow(int panel, int control) const {
    Impl::Widget* w = d_->Control(panel, control);
    return w ? w->hwnd : nullptr;
}

HWND Win32Toolkit::NamedWindow(int panel, const std::string& objectName) const {
    Impl::Panel* p = d_->FindPanel(panel);
    if (!p) return nullptr;
    for (const Impl::Widget& w : p->widgets) {
        if (w.node->objectName == objectName) return w.hwnd;
    }
    return nullptr;
}

HMENU Win32Toolkit::MenuBarMenu(int menuBar) const {
    Impl::MenuBar* m = d_->FindMenuBar(menuBar);
    return m ? m->menu : nullptr;
}

int Win32Toolkit::PanelMenuBar(int panel) const {
    Impl::MenuBar* m = d_->MenuBarOf(panel);
    return m ? m->handle : 0;
}

void Win32Toolkit::Relayout(int panel) {
    if (Impl::Panel* p = d_->FindPanel(panel)) d_->Layout(*p);
}

}  // namespace vbc::platform::win32
