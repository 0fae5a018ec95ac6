#include "gui/win32/stationwindow.h"

#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "cli/options.h"
#include "gui/win32/unicode.h"
#include "gui/win32/win32frontend.h"
#include "gui/win32/win32toolkit.h"
#include "platform/serial.h"
#include "station/station.h"
#include "station/stationview.h"
#include "toolkit/toolkit.h"
#include "ui/mfl52display.h"

namespace vbc::platform::win32 {
namespace {

namespace st = vbc::station;

constexpr wchar_t kWindowClass[] = L"VbcStation";
constexpr wchar_t kTilesClass[] = L"VbcStationTiles";
constexpr wchar_t kTitle[] = L"Station";
constexpr int kPortBoxes = 16;
constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTickMs = 100;
// The port list is looked at again this often while the station is idle: adapters come and go.
constexpr int kDeviceTicks = 20;

// Control identifiers.
enum : int {
    kIdAllPorts = 100,
    kIdPort1 = 101,  // to kIdPort1 + 15
    kIdLogPath = 130,
    kIdChooseLog,
    kIdDatabase,
    kIdReadId,
    kIdStart,
    kIdStop,
    kIdUnit1 = 200,  // one a tile
};

// Sizes at 96 DPI.
constexpr int kMargin = 10;
constexpr int kColumnWidth = 310;
constexpr int kTileWidth = 270;
constexpr int kTileHeight = 292;
constexpr int kTileGap = 10;
constexpr int kMessageLines = 3;

std::wstring Text(HWND hwnd) {
    const int n = ::GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
    text.resize(static_cast<std::size_t>(std::max(0, ::GetWindowTextW(hwnd, text.data(), n + 1))));
    return text;
}

std::string Trimmed(HWND edit) {
    const std::string t = Utf8(Text(edit));
    const std::size_t a = t.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    return t.substr(a, t.find_last_not_of(" \t") - a + 1);
}

void SetText(HWND hwnd, const std::wstring& text) {
    if (Text(hwnd) != text) ::SetWindowTextW(hwnd, text.c_str());
}

COLORREF ColourOf(const std::string& hex) {
    const unsigned long v = hex.size() == 7 ? std::stoul(hex.substr(1), nullptr, 16) : 0x546e7a;
    return RGB((v >> 16) & 0xff, (v >> 8) & 0xff, v & 0xff);
}

std::string WorkerProgram() {
    const std::string beside = st::WorkerBesideProgram();
    if (!beside.empty()) return beside;
    wchar_t found[MAX_PATH];
    const DWORD n = ::SearchPathW(nullptr, L"vbcflash-cli.exe", nullptr, MAX_PATH, found, nullptr);
    return n > 0 && n < MAX_PATH ? Utf8(found) : std::string();
}

class Window;
Window* gWindow = nullptr;

class Window {
  public:
    Window();
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    HWND hwnd = nullptr;
    bool running = false;
    std::vector<st::TileView> Tiles() const {
        std::vector<st::TileView> out;
        if (station_)
            for (const st::PortStatus& p : station_->Ports()) out.push_back(st::ViewOf(p));
        return out;
    }

    LRESULT Message(UINT msg, WPARAM wp, LPARAM lp);
    LRESULT TilesMessage(HWND tiles, UINT msg, WPARAM wp, LPARAM lp);

  private:
    HWND Make(const wchar_t* cls, const std::wstring& text, DWORD style, int id,
              HWND parent = nullptr, DWORD exStyle = 0);
    int S(int px) const { return ::MulDiv(px, static_cast<int>(dpi_), 96); }
    void MakeFonts();
    void Layout();
    void LayoutTiles();
    void OnCommand(int id, int code, HWND from);
    void OnStart();
    void OnStop();
    void OnTick();
    void OnClose();
    void ChooseLog();
    void GiveUnit(HWND edit);
    void ShowJobSettings();
    void ShowPortDevices();
    void ShowTiles();
    void SetEditable(bool editable);
    void Refuse(const std::string& why, UINT icon = MB_ICONWARNING);
    void PaintTiles(HDC dc, const RECT& client);
    std::vector<int> ChosenPorts() const;

    UINT dpi_ = 96;
    HFONT font_ = nullptr;
    HFONT bold_ = nullptr;       // buttons, totals
    HFONT title_ = nullptr;      // a tile's port
    HFONT stateFont_ = nullptr;  // a tile's state band
    HBRUSH white_ = nullptr;
    int line_ = 13;         // the font's line height
    int columnBottom_ = 0;  // the settings column's height, margins included
    std::unique_ptr<st::Station> station_;
    st::ImageHolder image_;
    bool closeWhenStopped_ = false;
    bool logErrorShown_ = false;
    bool asking_ = false;
    int ticks_ = 0;
    int scroll_ = 0;  // the tile area's, in pixels
    std::vector<int> tilePorts_;
    std::vector<st::TileView> shown_;

    HWND jobBox_ = nullptr, jobText_ = nullptr, portsBox_ = nullptr, allPorts_ = nullptr;
    std::array<HWND, kPortBoxes> portBoxes_{};
    HWND logBox_ = nullptr, logPath_ = nullptr, chooseLog_ = nullptr;
    HWND databaseBox_ = nullptr, database_ = nullptr, readIdLabel_ = nullptr, readId_ = nullptr;
    HWND start_ = nullptr, stop_ = nullptr, tiles_ = nullptr, totals_ = nullptr;
    std::vector<HWND> unitLabels_, unitEdits_;
};

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* w = static_cast<Window*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
        w->hwnd = hwnd;
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(w));
    }
    auto* w = reinterpret_cast<Window*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg == WM_NCDESTROY) ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    return w && w->hwnd == hwnd ? w->Message(msg, wp, lp) : ::DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK TilesProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* w = reinterpret_cast<Window*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg == WM_NCDESTROY) ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    return w ? w->TilesMessage(hwnd, msg, wp, lp) : ::DefWindowProcW(hwnd, msg, wp, lp);
}

void RegisterClasses() {
    static bool done = false;
    if (done) return;
    done = true;
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW c{};
    c.cbSize = sizeof(c);
    c.lpfnWndProc = WindowProc;
    c.hInstance = instance;
    c.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    c.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    c.lpszClassName = kWindowClass;
    c.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(1));
    if (!c.hIcon) c.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
    ::RegisterClassExW(&c);
    WNDCLASSEXW t{};
    t.cbSize = sizeof(t);
    t.lpfnWndProc = TilesProc;
    t.hInstance = instance;
    t.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    t.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    t.lpszClassName = kTilesClass;
    ::RegisterClassExW(&t);
}

Window::Window() {
    RegisterClasses();
    white_ = ::CreateSolidBrush(RGB(255, 255, 255));
    ::CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, L"vbcflash station", WS_OVERLAPPEDWINDOW,
                      CW_USEDEFAULT, CW_USEDEFAULT, 900, 600, nullptr, nullptr,
                      ::GetModuleHandleW(nullptr), this);
    dpi_ = WindowDpi(hwnd);
    MakeFonts();
    // Creation order is the Tab order.
    const DWORD tab = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
    jobBox_ =
        Make(WC_BUTTONW, L"Job (from the main panel)", WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 0);
    jobText_ = Make(WC_STATICW, L"", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0);
    portsBox_ = Make(WC_BUTTONW, L"&Ports", WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 0);
    allPorts_ =
        Make(WC_BUTTONW, L"&All serial ports", tab | WS_GROUP | BS_AUTOCHECKBOX, kIdAllPorts);
    for (int n = 1; n <= kPortBoxes; ++n) {
        portBoxes_[n - 1] =
            Make(WC_BUTTONW, L"COM" + std::to_wstring(n), tab | BS_AUTOCHECKBOX, kIdPort1 + n - 1);
    }
    logBox_ = Make(WC_BUTTONW, L"&Log", WS_CHILD | WS_VISIBLE | BS_GROUPBOX | WS_GROUP, 0);
    logPath_ = Make(WC_EDITW, L"station.jsonl", tab | ES_AUTOHSCROLL, kIdLogPath, nullptr,
                    WS_EX_CLIENTEDGE);
    chooseLog_ = Make(WC_BUTTONW, L"C&hoose...", tab | BS_PUSHBUTTON, kIdChooseLog);
    databaseBox_ = Make(WC_BUTTONW, L"&Database", WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 0);
    database_ =
        Make(WC_EDITW, L"station.db", tab | ES_AUTOHSCROLL, kIdDatabase, nullptr, WS_EX_CLIENTEDGE);
    readIdLabel_ = Make(WC_STATICW, L"Read &identity:", WS_CHILD | WS_VISIBLE | SS_CENTERIMAGE, 0);
    readId_ = Make(WC_EDITW, L"", tab | ES_AUTOHSCROLL, kIdReadId, nullptr, WS_EX_CLIENTEDGE);
    ::SendMessageW(readId_, EM_SETCUEBANNER, TRUE,
                   reinterpret_cast<LPARAM>(L"OFFSET:LENGTH (none)"));
    start_ = Make(WC_BUTTONW, L"&Start", tab | BS_PUSHBUTTON, kIdStart);
    stop_ = Make(WC_BUTTONW, L"St&op", tab | BS_PUSHBUTTON | WS_DISABLED, kIdStop);
    tiles_ = Make(kTilesClass, L"", WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_CLIPCHILDREN, 0,
                  nullptr, WS_EX_CONTROLPARENT);
    ::SetWindowLongPtrW(tiles_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    totals_ = Make(WC_STATICW, L"", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0);
    for (HWND b : {start_, stop_, totals_}) ::SendMessageW(b, WM_SETFONT, (WPARAM)bold_, FALSE);
    ::SetPropW(hwnd, kDialogKeysProperty, reinterpret_cast<HANDLE>(1));
    ShowJobSettings();
    ShowPortDevices();
    SetText(totals_, Utf16(st::TotalsText(nullptr)));
    // As large as the settings column needs, and room for a row of tiles beside it.
    Layout();
    RECT frame{0, 0, std::max(S(900), S(kMargin + kColumnWidth + 12 + kMargin) + S(kTileWidth) * 2),
               std::max(S(560), columnBottom_)};
    ::AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, WS_EX_CONTROLPARENT);
    ::SetWindowPos(hwnd, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    Layout();
    ::SetTimer(hwnd, kTimerId, kTickMs, nullptr);
}

Window::~Window() {
    // Every phone under way gets its stopped record before the window goes.
    if (station_ && running) {
        station_->Stop();
        while (!station_->Finished()) station_->Step(100);
        SetStationPorts({});
    }
    if (hwnd) {
        ::KillTimer(hwnd, kTimerId);
        ::RemovePropW(hwnd, kDialogKeysProperty);
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        ::DestroyWindow(hwnd);
    }
    for (HGDIOBJ o :
         {static_cast<HGDIOBJ>(font_), static_cast<HGDIOBJ>(bold_), static_cast<HGDIOBJ>(title_),
          static_cast<HGDIOBJ>(stateFont_), static_cast<HGDIOBJ>(white_)})
        if (o) ::DeleteObject(o);
}

HWND Window::Make(const wchar_t* cls, const std::wstring& text, DWORD style, int id, HWND parent,
                  DWORD exStyle) {
    HWND h = ::CreateWindowExW(
        exStyle, cls, text.c_str(), style, 0, 0, 0, 0, parent ? parent : hwnd,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleW(nullptr), nullptr);
    ::SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return h;
}

void Window::MakeFonts() {
    for (HFONT* f : {&font_, &bold_, &title_, &stateFont_}) {
        if (*f) ::DeleteObject(*f);
    }
    font_ = CreatePanelFont(dpi_);
    bold_ = CreatePanelFont(dpi_, 130, true);
    title_ = CreatePanelFont(dpi_, 160, true);
    stateFont_ = CreatePanelFont(dpi_, 170, true);
    HDC dc = ::GetDC(hwnd);
    HGDIOBJ old = ::SelectObject(dc, font_);
    TEXTMETRICW tm;
    ::GetTextMetricsW(dc, &tm);
    line_ = tm.tmHeight;
    ::SelectObject(dc, old);
    ::ReleaseDC(hwnd, dc);
}

// The settings column on the left, the tiles on the right and the totals under them.
void Window::Layout() {
    if (!tiles_) return;  // still being made
    RECT client;
    ::GetClientRect(hwnd, &client);
    const int m = S(kMargin);
    const int width = S(kColumnWidth);
    const int row = line_ + S(8);
    const int title = line_ + S(4);  // a group box's title line
    int y = m;
    auto group = [&](HWND box, int inner) {
        ::MoveWindow(box, m, y, width, title + inner + S(8), TRUE);
        const int top = y + title;
        y += title + inner + S(8) + S(6);
        return top;
    };
    const int jobTop = group(jobBox_, 6 * line_);
    ::MoveWindow(jobText_, m + S(8), jobTop, width - S(16), 6 * line_, TRUE);
    int top = group(portsBox_, (kPortBoxes + 1) * row);
    ::MoveWindow(allPorts_, m + S(8), top, width - S(16), row, TRUE);
    for (int n = 0; n < kPortBoxes; ++n)
        ::MoveWindow(portBoxes_[n], m + S(8), top + (n + 1) * row, width - S(16), row, TRUE);
    const int edit = line_ + S(10);
    top = group(logBox_, edit);
    const int choose = S(80);
    ::MoveWindow(logPath_, m + S(8), top, width - S(24) - choose, edit, TRUE);
    ::MoveWindow(chooseLog_, m + width - S(8) - choose, top, choose, edit, TRUE);
    top = group(databaseBox_, 2 * edit + S(6));
    ::MoveWindow(database_, m + S(8), top, width - S(16), edit, TRUE);
    const int label = S(90);
    ::MoveWindow(readIdLabel_, m + S(8), top + edit + S(6), label, edit, TRUE);
    ::MoveWindow(readId_, m + S(8) + label, top + edit + S(6), width - S(16) - label, edit, TRUE);
    const int button = 2 * line_ + S(12);
    const int half = (width - S(8)) / 2;
    ::MoveWindow(start_, m, y, half, button, TRUE);
    ::MoveWindow(stop_, m + width - half, y, half, button, TRUE);
    const int columnBottom = y + button + m;
    columnBottom_ = columnBottom;

    const int x = m + width + S(12);
    const int totalsHeight = 2 * (line_ * 13 / 10) + S(4);
    const int right = std::max(static_cast<int>(client.right) - m, x + S(100));
    const int bottom = std::max(static_cast<int>(client.bottom) - m, columnBottom - m);
    ::MoveWindow(tiles_, x, m, right - x, bottom - m - totalsHeight - S(6), TRUE);
    ::MoveWindow(totals_, x, bottom - totalsHeight, right - x, totalsHeight, TRUE);
    LayoutTiles();
}

// Places the unit fields in their tiles and sets the scroll range.
void Window::LayoutTiles() {
    RECT area;
    ::GetClientRect(tiles_, &area);
    const int gap = S(kTileGap);
    const int columns =
        std::max(1, std::min(st::TileColumns(tilePorts_.size()),
                             static_cast<int>((area.right + gap) / (S(kTileWidth) + gap))));
    const int rows =
        tilePorts_.empty() ? 0 : static_cast<int>((tilePorts_.size() + columns - 1) / columns);
    const int content = rows * (S(kTileHeight) + gap);
    scroll_ = std::clamp(scroll_, 0, std::max(0, content - static_cast<int>(area.bottom)));
    SCROLLINFO si{sizeof(si),
                  SIF_RANGE | SIF_PAGE | SIF_POS,
                  0,
                  std::max(0, content - 1),
                  static_cast<UINT>(area.bottom),
                  scroll_,
                  0};
    ::SetScrollInfo(tiles_, SB_VERT, &si, TRUE);
    const int edit = line_ + S(8);
    const int label = S(40);
    for (std::size_t i = 0; i < unitEdits_.size(); ++i) {
        const int left = static_cast<int>(i % columns) * (S(kTileWidth) + gap);
        const int top = static_cast<int>(i / columns) * (S(kTileHeight) + gap) - scroll_;
        const int y = top + S(kTileHeight) - S(10) - line_ - S(4) - edit;
        ::MoveWindow(unitLabels_[i], left + S(10), y, label, edit, TRUE);
        ::MoveWindow(unitEdits_[i], left + S(10) + label, y, S(kTileWidth) - S(20) - label, edit,
                     TRUE);
    }
    ::InvalidateRect(tiles_, nullptr, TRUE);
}

LRESULT Window::Message(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_COMMAND:
            OnCommand(LOWORD(wp), HIWORD(wp), reinterpret_cast<HWND>(lp));
            return 0;
        case WM_TIMER:
            if (wp == kTimerId) OnTick();
            return 0;
        case WM_CLOSE:
            OnClose();
            return 0;
        case WM_SIZE:
            if (wp != SIZE_MINIMIZED) Layout();
            return 0;
        case WM_NEXTDLGCTL: {
            // What the dialog manager sends for Tab and a label's Alt+mnemonic: the focus goes to
            // the window given, or on to the next (previous) control the keyboard reaches; an
            // edit's text is selected, as in a dialog, so that typing replaces it.
            HWND to = LOWORD(lp) ? reinterpret_cast<HWND>(wp)
                                 : ::GetNextDlgTabItem(hwnd, ::GetFocus(), wp != 0);
            if (to) {
                ::SetFocus(to);
                if (::SendMessageW(to, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL)
                    ::SendMessageW(to, EM_SETSEL, 0, -1);
            }
            return 0;
        }
        case WM_GETMINMAXINFO: {
            auto* info = reinterpret_cast<MINMAXINFO*>(lp);
            RECT r{0, 0, S(kMargin + kColumnWidth + 12 + kTileWidth + kMargin + 20),
                   std::max(S(400), columnBottom_)};
            ::AdjustWindowRectEx(&r, WS_OVERLAPPEDWINDOW, FALSE, WS_EX_CONTROLPARENT);
            info->ptMinTrackSize = {r.right - r.left, r.bottom - r.top};
            return 0;
        }
        case 0x02E0: {  // WM_DPICHANGED: the window moved to a monitor of another density
            dpi_ = HIWORD(wp);
            MakeFonts();
            ::EnumChildWindows(
                hwnd,
                [](HWND child, LPARAM self) {
                    const auto* w = reinterpret_cast<const Window*>(self);
                    const bool bold =
                        child == w->start_ || child == w->stop_ || child == w->totals_;
                    ::SendMessageW(child, WM_SETFONT,
                                   reinterpret_cast<WPARAM>(bold ? w->bold_ : w->font_), FALSE);
                    return TRUE;
                },
                reinterpret_cast<LPARAM>(this));
            const RECT* r = reinterpret_cast<const RECT*>(lp);
            ::SetWindowPos(hwnd, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                           SWP_NOZORDER | SWP_NOACTIVATE);
            Layout();
            return 0;
        }
        default:
            break;
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

void Window::OnCommand(int id, int code, HWND from) {
    if (id == IDOK) {
        // Enter: a scanner ends its line with it in a unit field.
        HWND focus = ::GetFocus();
        if (std::find(unitEdits_.begin(), unitEdits_.end(), focus) != unitEdits_.end())
            GiveUnit(focus);
        return;
    }
    if (id == IDCANCEL) return;  // Esc: as in the Qt window, nothing; a scan never closes it
    if (code == EN_SETFOCUS && id >= kIdUnit1) {
        // A unit field reached by Tab is scrolled into view.
        RECT r, area;
        ::GetWindowRect(from, &r);
        ::MapWindowPoints(nullptr, tiles_, reinterpret_cast<POINT*>(&r), 2);
        ::GetClientRect(tiles_, &area);
        if (r.top < 0 || r.bottom > area.bottom) {
            scroll_ += r.top < 0 ? r.top - S(kTileHeight) : r.bottom - area.bottom + S(10);
            LayoutTiles();
        }
        return;
    }
    if (code != BN_CLICKED) return;
    switch (id) {
        case kIdAllPorts:
            ShowPortDevices();
            break;
        case kIdChooseLog:
            ChooseLog();
            break;
        case kIdStart:
            OnStart();
            break;
        case kIdStop:
            OnStop();
            break;
        default:
            break;
    }
}

void Window::ChooseLog() {
    std::wstring path = Text(logPath_);
    path.resize(std::max<std::size_t>(path.size() + 1, 4096), L'\0');
    const wchar_t filter[] = L"Station logs (*.jsonl)\0*.jsonl\0All files (*.*)\0*.*\0";
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = hwnd;
    ofn.lpstrFilter = filter;
    ofn.lpstrFile = path.data();
    ofn.nMaxFile = static_cast<DWORD>(path.size());
    ofn.lpstrTitle = L"Station log";
    ofn.lpstrDefExt = L"jsonl";
    // Records are appended to a log that exists: nothing is replaced, so no question.
    ofn.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (::GetSaveFileNameW(&ofn)) SetText(logPath_, path.c_str());
}

void Window::GiveUnit(HWND edit) {
    const std::string unit = Trimmed(edit);
    if (unit.empty() || !station_ || !running) return;
    const auto i = static_cast<std::size_t>(std::find(unitEdits_.begin(), unitEdits_.end(), edit) -
                                            unitEdits_.begin());
    if (i >= tilePorts_.size()) return;
    station_->SetUnit(tilePorts_[i], unit);
    ::SetWindowTextW(edit, L"");
    ShowTiles();
}

void Window::Refuse(const std::string& why, UINT icon) {
    ::MessageBoxW(hwnd, Utf16(why).c_str(), kTitle, MB_OK | icon);
}

void Window::ShowJobSettings() {
    SetText(jobText_, Utf16(st::JobSettingsText(running ? station_.get() : nullptr)));
}

void Window::ShowPortDevices() {
    const bool all = ::SendMessageW(allPorts_, BM_GETCHECK, 0, 0) == BST_CHECKED;
    const std::vector<PortInfo> ports = ListSerialPorts();  // one scan for the 16 boxes
    for (int n = 1; n <= kPortBoxes; ++n) {
        HWND box = portBoxes_[n - 1];
        // COM1 to COM9 answer Alt+1 to Alt+9, COM10 Alt+0; the rest are reached by Tab.
        std::string text;
        for (char c : PortEntryText(n, ports))
            text += c == '&' ? std::string("&&") : std::string(1, c);
        if (n <= 9) {
            text.insert(3, "&");
        } else if (n == 10) {
            text.insert(4, "&");
        }
        SetText(box, Utf16(text));
        if (all)
            ::SendMessageW(box, BM_SETCHECK, PortHasDevice(n, ports) ? BST_CHECKED : BST_UNCHECKED,
                           0);
        ::EnableWindow(box, !running && !all);
    }
}

std::vector<int> Window::ChosenPorts() const {
    std::vector<int> ports;
    for (int n = 1; n <= kPortBoxes; ++n) {
        if (::SendMessageW(portBoxes_[n - 1], BM_GETCHECK, 0, 0) == BST_CHECKED) ports.push_back(n);
    }
    return ports;
}

void Window::SetEditable(bool editable) {
    // The focus leaves a control being dimmed for one the keyboard still reaches.
    HWND focus = ::GetFocus();
    const bool all = ::SendMessageW(allPorts_, BM_GETCHECK, 0, 0) == BST_CHECKED;
    ::EnableWindow(allPorts_, editable);
    for (HWND box : portBoxes_) ::EnableWindow(box, editable && !all);
    for (HWND h : {logPath_, chooseLog_, database_, readId_, start_}) ::EnableWindow(h, editable);
    ::EnableWindow(stop_, !editable);
    if (focus && !::IsWindowEnabled(focus)) ::SetFocus(editable ? start_ : stop_);
}

void Window::OnStart() {
    if (running) return;
    const bool all = ::SendMessageW(allPorts_, BM_GETCHECK, 0, 0) == BST_CHECKED;
    if (all) ShowPortDevices();
    st::StartForm form;
    form.ports = ChosenPorts();
    form.allPorts = all;
    form.logPath = Trimmed(logPath_);
    form.database = Trimmed(database_);
    form.readId = Trimmed(readId_);
    form.readIdProblem = cli::CheckRange(form.readId, nullptr, nullptr);
    form.workerProgram = WorkerProgram();
    std::unique_ptr<st::Station> station;
    st::ImageHolder image;
    if (const std::string refusal = st::StartStation(form, &image, &station); !refusal.empty())
        return Refuse(refusal);
    image_ = std::move(image);
    station_ = std::move(station);
    running = true;
    closeWhenStopped_ = false;
    logErrorShown_ = false;
    SetStationPorts(form.ports);
    SetEditable(false);

    // One tile a port, each with its unit field for a barcode scanner.
    for (HWND h : unitLabels_) ::DestroyWindow(h);
    for (HWND h : unitEdits_) ::DestroyWindow(h);
    unitLabels_.clear();
    unitEdits_.clear();
    tilePorts_ = form.ports;
    shown_.clear();
    scroll_ = 0;
    for (std::size_t i = 0; i < tilePorts_.size(); ++i) {
        unitLabels_.push_back(
            Make(WC_STATICW, L"&Unit:", WS_CHILD | WS_VISIBLE | SS_CENTERIMAGE, 0, tiles_));
        HWND edit = Make(WC_EDITW, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL,
                         kIdUnit1 + static_cast<int>(i), tiles_, WS_EX_CLIENTEDGE);
        ::SendMessageW(edit, EM_SETCUEBANNER, TRUE,
                       reinterpret_cast<LPARAM>(L"Unit of the next phone (scan)"));
        unitEdits_.push_back(edit);
    }
    // The window grows to show every tile, within the work area.
    HMONITOR monitor = ::MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST);
    MONITORINFO mi{};
    mi.cbSize = sizeof(mi);
    ::GetMonitorInfoW(monitor, &mi);
    const int columns = st::TileColumns(tilePorts_.size());
    const int rows = static_cast<int>((tilePorts_.size() + columns - 1) / columns);
    RECT want{0, 0,
              S(kMargin + kColumnWidth + 12 + kMargin) + columns * (S(kTileWidth) + S(kTileGap)) +
                  ::GetSystemMetrics(SM_CXVSCROLL),
              S(kMargin) + rows * (S(kTileHeight) + S(kTileGap)) + 2 * (line_ * 13 / 10) +
                  S(kMargin + 16)};
    ::AdjustWindowRectEx(&want, WS_OVERLAPPEDWINDOW, FALSE, 0);
    RECT now;
    ::GetWindowRect(hwnd, &now);
    const RECT& room = mi.rcWork;
    const int w = std::min<int>(std::max(want.right - want.left, now.right - now.left),
                                room.right - room.left);
    const int h = std::min<int>(std::max(want.bottom - want.top, now.bottom - now.top),
                                room.bottom - room.top);
    const int x = std::clamp<int>(now.left, room.left, room.right - w);
    const int y = std::clamp<int>(now.top, room.top, room.bottom - h);
    ::SetWindowPos(hwnd, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
    Layout();
    ShowJobSettings();
    ShowTiles();
}

void Window::OnStop() {
    if (running && station_) station_->Stop();
    if (::GetFocus() == stop_) ::SetFocus(hwnd);
    ::EnableWindow(stop_, FALSE);
}

void Window::OnTick() {
    ++ticks_;
    if (!running) {
        ShowJobSettings();
        if (ticks_ % kDeviceTicks == 0) ShowPortDevices();
        return;
    }
    station_->Step(0);
    station_->TakeEvents();  // the tiles show the state; the log holds the records
    ShowTiles();
    if (!station_->LogError().empty() && !logErrorShown_) {
        logErrorShown_ = true;
        Refuse(st::LogErrorText(*station_), MB_ICONERROR);
    }
    if (!running || !station_->Finished()) return;  // (the box above ran this tick's successors)
    running = false;
    image_ = st::ImageHolder();
    SetStationPorts({});
    SetEditable(true);
    ShowPortDevices();
    ShowJobSettings();
    if (closeWhenStopped_) ::ShowWindow(hwnd, SW_HIDE);
}

void Window::OnClose() {
    if (!running) {
        ::ShowWindow(hwnd, SW_HIDE);
        return;
    }
    if (closeWhenStopped_ || asking_) return;
    if (const std::string question = st::CloseQuestion(station_->Ports()); !question.empty()) {
        asking_ = true;
        const int answer = ::MessageBoxW(hwnd, Utf16(question).c_str(), kTitle,
                                         MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
        asking_ = false;
        if (answer != IDYES) return;
    }
    closeWhenStopped_ = true;
    // The station may have ended while the question was up: nothing is left to stop.
    if (!running) {
        ::ShowWindow(hwnd, SW_HIDE);
        return;
    }
    OnStop();
}

void Window::ShowTiles() {
    if (!station_) return;
    std::vector<st::TileView> views = Tiles();
    const bool changed = views.size() != shown_.size() ||
                         !std::equal(views.begin(), views.end(), shown_.begin(),
                                     [](const st::TileView& a, const st::TileView& b) {
                                         return a.state == b.state && a.detail == b.detail &&
                                                a.percent == b.percent && a.rate == b.rate &&
                                                a.elapsed == b.elapsed && a.message == b.message &&
                                                a.counts == b.counts && a.unit == b.unit &&
                                                a.flash == b.flash && a.device == b.device;
                                     });
    if (changed) {
        shown_ = std::move(views);
        ::InvalidateRect(tiles_, nullptr, FALSE);
    }
    SetText(totals_, Utf16(st::TotalsText(station_.get())));
}

LRESULT Window::TilesMessage(HWND tiles, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = ::BeginPaint(tiles, &ps);
            RECT client;
            ::GetClientRect(tiles, &client);
            // Drawn off screen first: the tiles change ten times a second.
            HDC mem = ::CreateCompatibleDC(dc);
            HBITMAP bitmap = ::CreateCompatibleBitmap(dc, client.right, client.bottom);
            HGDIOBJ oldBitmap = ::SelectObject(mem, bitmap);
            PaintTiles(mem, client);
            ::BitBlt(dc, 0, 0, client.right, client.bottom, mem, 0, 0, SRCCOPY);
            ::SelectObject(mem, oldBitmap);
            ::DeleteObject(bitmap);
            ::DeleteDC(mem);
            ::EndPaint(tiles, &ps);
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;
        case WM_CTLCOLORSTATIC:
            ::SetBkColor(reinterpret_cast<HDC>(wp), RGB(255, 255, 255));
            return reinterpret_cast<LRESULT>(white_);
        case WM_COMMAND:
            return ::SendMessageW(hwnd, msg, wp, lp);  // the unit fields' notifications
        case WM_SIZE:
            LayoutTiles();
            return 0;
        case WM_MOUSEWHEEL:
        case WM_VSCROLL: {
            SCROLLINFO si{};
            si.cbSize = sizeof(si);
            si.fMask = SIF_ALL;
            ::GetScrollInfo(tiles, SB_VERT, &si);
            int to = si.nPos;
            const int step = S(kTileHeight + kTileGap);
            if (msg == WM_MOUSEWHEEL) {
                to -= GET_WHEEL_DELTA_WPARAM(wp) * step / WHEEL_DELTA / 3;
            } else {
                switch (LOWORD(wp)) {
                    case SB_LINEUP:
                        to -= step / 4;
                        break;
                    case SB_LINEDOWN:
                        to += step / 4;
                        break;
                    case SB_PAGEUP:
                        to -= static_cast<int>(si.nPage);
                        break;
                    case SB_PAGEDOWN:
                        to += static_cast<int>(si.nPage);
                        break;
                    case SB_THUMBTRACK:
                        to = si.nTrackPos;
                        break;
                    default:
                        break;
                }
            }
            if (to != scroll_) {
                scroll_ = to;
                LayoutTiles();
            }
            return 0;
        }
        default:
            break;
    }
    return ::DefWindowProcW(tiles, msg, wp, lp);
}

void Window::PaintTiles(HDC dc, const RECT& client) {
    ::FillRect(dc, &client, ::GetSysColorBrush(COLOR_BTNFACE));
    ::SetBkMode(dc, TRANSPARENT);
    HGDIOBJ oldFont = ::SelectObject(dc, font_);
    if (tilePorts_.empty()) {
        RECT r = client;
        const std::wstring hint = Utf16(st::kTileHint);
        ::SetTextColor(dc, ::GetSysColor(COLOR_GRAYTEXT));
        RECT measure = r;
        ::DrawTextW(dc, hint.c_str(), -1, &measure, DT_CENTER | DT_WORDBREAK | DT_CALCRECT);
        r.top = (client.bottom - (measure.bottom - measure.top)) / 2;
        ::DrawTextW(dc, hint.c_str(), -1, &r, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
        ::SelectObject(dc, oldFont);
        return;
    }
    const int gap = S(kTileGap);
    const int columns =
        std::max(1, std::min(st::TileColumns(tilePorts_.size()),
                             static_cast<int>((client.right + gap) / (S(kTileWidth) + gap))));
    auto text = [dc](const std::string& s, RECT r, UINT flags, COLORREF colour) {
        const std::wstring w = Utf16(s);
        ::SetTextColor(dc, colour);
        ::DrawTextW(dc, w.c_str(), static_cast<int>(w.size()), &r, flags | DT_NOPREFIX);
    };
    const COLORREF ink = RGB(0x20, 0x20, 0x20);
    for (std::size_t i = 0; i < tilePorts_.size(); ++i) {
        const int left = static_cast<int>(i % columns) * (S(kTileWidth) + gap);
        const int top = static_cast<int>(i / columns) * (S(kTileHeight) + gap) - scroll_;
        const RECT tile{left, top, left + S(kTileWidth), top + S(kTileHeight)};
        if (tile.bottom < 0 || tile.top > client.bottom) continue;
        st::TileView v = i < shown_.size() ? shown_[i] : st::TileView{};
        if (v.port == 0) v.port = tilePorts_[i];
        const COLORREF colour = ColourOf(v.colour);
        // The frame in the state's colour round a white tile.
        HPEN pen = ::CreatePen(PS_INSIDEFRAME, S(3), colour);
        HGDIOBJ oldPen = ::SelectObject(dc, pen);
        HGDIOBJ oldBrush = ::SelectObject(dc, white_);
        ::RoundRect(dc, tile.left, tile.top, tile.right, tile.bottom, S(12), S(12));
        ::SelectObject(dc, oldPen);
        ::SelectObject(dc, oldBrush);
        ::DeleteObject(pen);
        const int pad = S(10);
        const int inner = tile.left + pad, outer = tile.right - pad;
        int y = tile.top + S(8);
        // Port and device.
        ::SelectObject(dc, title_);
        TEXTMETRICW tm;
        ::GetTextMetricsW(dc, &tm);
        text("COM" + std::to_string(v.port), {inner, y, outer, y + tm.tmHeight},
             DT_LEFT | DT_SINGLELINE, ink);
        ::SelectObject(dc, font_);
        text(v.device, {inner + S(90), y, outer, y + tm.tmHeight},
             DT_RIGHT | DT_VCENTER | DT_SINGLELINE | DT_PATH_ELLIPSIS, RGB(0x60, 0x60, 0x60));
        y += tm.tmHeight + S(4);
        // The state band.
        ::SelectObject(dc, stateFont_);
        ::GetTextMetricsW(dc, &tm);
        const RECT band{inner, y, outer, y + tm.tmHeight + S(12)};
        HBRUSH fill = ::CreateSolidBrush(colour);
        HGDIOBJ oldFill = ::SelectObject(dc, fill);
        HGDIOBJ noPen = ::SelectObject(dc, ::GetStockObject(NULL_PEN));
        ::RoundRect(dc, band.left, band.top, band.right + 1, band.bottom + 1, S(8), S(8));
        ::SelectObject(dc, oldFill);
        ::SelectObject(dc, noPen);
        ::DeleteObject(fill);
        std::string upper = v.state;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        text(upper, band, DT_CENTER | DT_VCENTER | DT_SINGLELINE, RGB(255, 255, 255));
        y = band.bottom + S(6);
        ::SelectObject(dc, font_);
        const int h = line_ + S(3);
        text(v.detail, {inner, y, outer, y + h}, DT_LEFT | DT_SINGLELINE | DT_END_ELLIPSIS, ink);
        y += h;
        text(v.flash.empty() ? "" : "Flash: " + v.flash, {inner, y, outer, y + h},
             DT_LEFT | DT_SINGLELINE | DT_END_ELLIPSIS, ink);
        y += h + S(2);
        // The progress bar with its percentage.
        const RECT bar{inner, y, outer, y + line_ + S(6)};
        ::FrameRect(dc, &bar, ::GetSysColorBrush(COLOR_BTNSHADOW));
        RECT done = bar;
        ::InflateRect(&done, -1, -1);
        done.right = done.left + (done.right - done.left) * std::clamp(v.percent, 0, 100) / 100;
        HBRUSH barFill = ::CreateSolidBrush(RGB(0x43, 0xa0, 0x47));
        ::FillRect(dc, &done, barFill);
        ::DeleteObject(barFill);
        text(std::to_string(v.percent) + " %", bar, DT_CENTER | DT_VCENTER | DT_SINGLELINE, ink);
        y = bar.bottom + S(4);
        text(v.rate, {inner, y, outer, y + h}, DT_LEFT | DT_SINGLELINE, ink);
        text(v.elapsed, {inner, y, outer, y + h}, DT_RIGHT | DT_SINGLELINE, ink);
        y += h + S(2);
        // The last result's message in at most three lines, cut at a word with an ellipsis.
        text(v.message, {inner, y, outer, y + kMessageLines * line_},
             DT_LEFT | DT_WORDBREAK | DT_EDITCONTROL | DT_END_ELLIPSIS, ink);
        // Counts, the unit field (a child window) and the unit line from the bottom up.
        int b = tile.bottom - S(8);
        text(v.unit, {inner, b - line_, outer, b}, DT_LEFT | DT_SINGLELINE | DT_END_ELLIPSIS, ink);
        b -= line_ + S(4) + line_ + S(8) + S(4);
        text(v.counts, {inner, b - line_, outer, b}, DT_LEFT | DT_SINGLELINE, ink);
    }
    ::SelectObject(dc, oldFont);
}

}  // namespace

void OpenStationWindow() {
    if (!gWindow) {
        gWindow = new Window();
        // Beside the main panel, when the work area has room there.
        auto* toolkit = dynamic_cast<Win32Toolkit*>(&CurrentToolkit());
        HWND main = toolkit ? toolkit->PanelWindow(_v_Panel) : nullptr;
        if (main && ::IsWindowVisible(main)) {
            RECT frame, own;
            ::GetWindowRect(main, &frame);
            ::GetWindowRect(gWindow->hwnd, &own);
            MONITORINFO mi{};
            mi.cbSize = sizeof(mi);
            ::GetMonitorInfoW(::MonitorFromWindow(main, MONITOR_DEFAULTTONEAREST), &mi);
            const int width = own.right - own.left;
            int x = frame.right + 12;
            if (x + width > mi.rcWork.right)
                x = std::max<int>(mi.rcWork.left, mi.rcWork.right - width);
            ::SetWindowPos(gWindow->hwnd, nullptr, x, frame.top, 0, 0,
                           SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    ::ShowWindow(gWindow->hwnd, SW_SHOW);
    ::SetForegroundWindow(gWindow->hwnd);
    if (!::GetFocus() || ::GetAncestor(::GetFocus(), GA_ROOT) != gWindow->hwnd)
        ::SetFocus(::GetNextDlgTabItem(gWindow->hwnd, nullptr, FALSE));
}

void DestroyStationWindow() {
    Window* w = gWindow;
    delete w;  // its procedures still find it while it stops
    gWindow = nullptr;
}

}  // namespace vbc::platform::win32
