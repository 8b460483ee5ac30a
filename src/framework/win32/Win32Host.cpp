#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <uxtheme.h>

#include "framework/win32/Win32Host.h"

#include "console/ExchangeLine.h"

#include <algorithm>
#include <vector>

namespace fw {

namespace {

constexpr wchar_t kWindowClass[] = L"ZantuConsoleWindow";
// Posted to wake the window for the cross-thread requests; the console's own
// messages lie between WM_USER and WM_APP.
constexpr UINT kWmDrain = WM_APP + 1;
// The About item of the system menu, and string 101 its text.
constexpr UINT kIdmAbout = 0x10;
// The exchange strip's timer: ids of the console's timers are small numbers.
constexpr UINT_PTR kExchangeTimer = 0x7E01;
constexpr COLORREF kReasonColour = RGB(0x9a, 0x1b, 0x12);  // dark red: 7:1 on the window
const char* const kAboutItem = "ZANTU Test Program 정보(&A)...";
constexpr int kPromptEditId = 100;

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);

UINT DpiOf(HWND hwnd) {
    static const auto fn = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (fn && hwnd) {
        const UINT dpi = fn(hwnd);
        if (dpi) return dpi;
    }
    HDC dc = GetDC(nullptr);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(nullptr, dc);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

// The dialog font: Tahoma 9 pt at the given dpi.
HFONT DialogFont(UINT dpi) {
    return CreateFontW(-MulDiv(9, static_cast<int>(dpi), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, L"Tahoma");
}

std::wstring ClassText(HWND h) {
    const int n = GetWindowTextLengthW(h);
    std::wstring w(static_cast<std::size_t>(n) + 1, L'\0');
    const int got = GetWindowTextW(h, w.data(), n + 1);
    w.resize(static_cast<std::size_t>(std::max(got, 0)));
    return w;
}

// A line end the edit control shows: every "\n" not after "\r" becomes "\r\n".
std::wstring EditLines(std::wstring_view s) {
    std::wstring out;
    out.reserve(s.size() + s.size() / 16);
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == L'\n' && (i == 0 || s[i - 1] != L'\r')) out += L'\r';
        out += s[i];
    }
    return out;
}

// A frame's inside is drawn by nobody (the tab page beneath is clipped by it):
// the frame fills it with the colour its parent gives texts there.
LRESULT CALLBACK GroupBoxProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    if (msg == WM_ERASEBKGND) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        auto brush = reinterpret_cast<HBRUSH>(
            SendMessageW(GetParent(h), WM_CTLCOLORSTATIC, wParam, reinterpret_cast<LPARAM>(h)));
        RECT rc{};
        GetClientRect(h, &rc);
        FillRect(dc, &rc, brush ? brush : GetSysColorBrush(COLOR_BTNFACE));
        return TRUE;
    }
    if (msg == WM_NCDESTROY) RemoveWindowSubclass(h, &GroupBoxProc, 1);
    return DefSubclassProc(h, msg, wParam, lParam);
}

UINT IconFlags(MsgIcon icon) {
    switch (icon) {
    case MsgIcon::Warning: return MB_ICONWARNING;
    case MsgIcon::Stop: return MB_ICONHAND;
    case MsgIcon::Information: return MB_ICONINFORMATION;
    case MsgIcon::Question: return MB_ICONQUESTION;
    case MsgIcon::None:
    case MsgIcon::Application: return 0;
    }
    return 0;
}

// The password prompt: a dialog made from an empty template whose edit is
// placed in pixels when it starts.  Enter gives the text (the dialog manager's
// IDOK), Esc and the close box nothing.
struct Prompt {
    std::wstring caption;
    int maxChars;
    bool password;
    Host::PromptLayout layout;  // at the window's dpi
    HFONT font;
    std::wstring text;
};

INT_PTR CALLBACK PromptProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* p = reinterpret_cast<Prompt*>(GetWindowLongPtrW(hDlg, DWLP_USER));
    switch (msg) {
    case WM_INITDIALOG: {
        p = reinterpret_cast<Prompt*>(lParam);
        SetWindowLongPtrW(hDlg, DWLP_USER, reinterpret_cast<LONG_PTR>(p));
        SetWindowTextW(hDlg, p->caption.c_str());
        const bool sized = p->layout.clientW > 0 && p->layout.clientH > 0;
        RECT rc{0, 0, sized ? p->layout.clientW : 260, sized ? p->layout.clientH : 40};
        AdjustWindowRectEx(&rc, static_cast<DWORD>(GetWindowLongPtrW(hDlg, GWL_STYLE)), FALSE,
                           static_cast<DWORD>(GetWindowLongPtrW(hDlg, GWL_EXSTYLE)));
        // Centred over its owner.
        RECT owner{};
        HWND hOwner = GetWindow(hDlg, GW_OWNER);
        if (hOwner) GetWindowRect(hOwner, &owner);
        const int w = rc.right - rc.left, h = rc.bottom - rc.top;
        const int x = hOwner ? owner.left + (owner.right - owner.left - w) / 2 : CW_USEDEFAULT;
        const int y = hOwner ? owner.top + (owner.bottom - owner.top - h) / 2 : CW_USEDEFAULT;
        SetWindowPos(hDlg, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
        const Rect e = sized ? p->layout.edit : Rect{10, 10, 240, 20};
        DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL;
        if (p->password) style |= ES_PASSWORD;
        HWND hEdit = CreateWindowExW(WS_EX_CLIENTEDGE, WC_EDITW, L"", style, e.x, e.y, e.w, e.h, hDlg,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(kPromptEditId)),
                                     GetModuleHandleW(nullptr), nullptr);
        SendMessageW(hEdit, WM_SETFONT, reinterpret_cast<WPARAM>(p->font), FALSE);
        if (p->maxChars > 0) SendMessageW(hEdit, EM_LIMITTEXT, static_cast<WPARAM>(p->maxChars), 0);
        SetFocus(hEdit);
        return FALSE;  // the focus is set
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            p->text = ClassText(GetDlgItem(hDlg, kPromptEditId));
            EndDialog(hDlg, IDOK);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(hDlg, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    default: return FALSE;
    }
}

}  // namespace

struct Win32HostProc {
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        if (msg == WM_NCCREATE) {
            const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        }
        auto* self = reinterpret_cast<Win32Host*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        // Messages before CreateWindowExW returned are the system's.
        if (!self || self->Hwnd() != hwnd) return DefWindowProcW(hwnd, msg, wParam, lParam);
        return self->Handle(msg, wParam, lParam);
    }
};

std::wstring Wide(std::string_view s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string Utf8(std::wstring_view s) {
    if (s.empty()) return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(n, 0)), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring OpenFilter(std::string_view filter) {
    std::wstring out;
    std::size_t pairs = 0;
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t bar = filter.find('|', start);
        parts.push_back(filter.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
        if (bar == std::string_view::npos) break;
        start = bar + 1;
    }
    for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].empty() && parts[i + 1].empty()) break;  // "||" ends the list
        out += Wide(parts[i]);
        out += L'\0';
        out += Wide(parts[i + 1]);
        out += L'\0';
        ++pairs;
    }
    if (pairs == 0) out += std::wstring(L"All files") + L'\0' + L"*.*" + L'\0';
    out += L'\0';
    return out;
}

Win32Host::Win32Host(HINSTANCE hInstance, int iconId) : m_hInst(hInstance), m_iconId(iconId) {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_TAB_CLASSES | ICC_PROGRESS_CLASS |
                                             ICC_BAR_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    m_hIconBig = static_cast<HICON>(LoadImageW(m_hInst, MAKEINTRESOURCEW(m_iconId), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    m_hIconSmall = static_cast<HICON>(LoadImageW(m_hInst, MAKEINTRESOURCEW(m_iconId), IMAGE_ICON,
                                                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Win32HostProc::WndProc;
    wc.hInstance = m_hInst;
    wc.hIcon = m_hIconBig;
    wc.hIconSm = m_hIconSmall;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kWindowClass;
    RegisterClassExW(&wc);  // a second host finds it registered
}

Win32Host::~Win32Host() {
    if (m_exchange) m_exchange->SetOnChange(nullptr);
    if (HWND h = m_hWnd.exchange(nullptr)) DestroyWindow(h);
    if (m_hTip) DestroyWindow(m_hTip);
    if (m_hFont) DeleteObject(m_hFont);
    if (m_hIconBig) DestroyIcon(m_hIconBig);
    if (m_hIconSmall) DestroyIcon(m_hIconSmall);
}

void Win32Host::MakeFont(UINT dpi) {
    HFONT old = m_hFont;
    m_hFont = DialogFont(dpi);
    for (auto& [id, c] : m_ctls) SendMessageW(c.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(m_hFont), TRUE);
    if (m_hTip) SendMessageW(m_hTip, WM_SETFONT, reinterpret_cast<WPARAM>(m_hFont), FALSE);
    if (old) DeleteObject(old);
}

Host::BaseUnits Win32Host::DialogBaseUnits() const {
    // Measured in the dialog font at 96 dpi: the console's pixels are those.
    HFONT font = DialogFont(96);
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    SIZE sz{};
    GetTextExtentPoint32W(dc, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52, &sz);
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(font);
    if (sz.cx <= 0 || tm.tmHeight <= 0) return Host::DialogBaseUnits();
    return BaseUnits{(sz.cx / 26 + 1) / 2, static_cast<int>(tm.tmHeight)};
}

void Win32Host::RaisePriority() {
    if (m_raisesPriority) SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
}

RECT Win32Host::ToWindow(Rect r) const {
    return RECT{Px(r.x), Px(r.y), Px(r.x + r.w), Px(r.y + r.h)};
}

void Win32Host::CreateDialog(std::string_view title, int clientW, int clientH,
                             std::span<const ControlTemplate> controls) {
    if (HWND h = m_hWnd.exchange(nullptr)) DestroyWindow(h);
    m_ctls.clear();
    m_tips.clear();
    m_multiText.clear();
    m_clientW = clientW;
    // Below the controls, a strip of two lines: the exchange line and the
    // last failure's reason (wrapped over both while nothing is under way).
    m_stripLineH = 15;
    const int strip = m_exchange ? 2 * m_stripLineH + 4 : 0;
    clientH += strip;
    m_clientH = clientH;
    // A pop-up with a caption, a system menu and a minimize box, in the task bar.
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    const DWORD exStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;
    HWND hwnd = CreateWindowExW(exStyle, kWindowClass, Wide(title).c_str(), style, CW_USEDEFAULT,
                                CW_USEDEFAULT, clientW, clientH, nullptr, nullptr, m_hInst, this);
    if (!hwnd) return;
    m_hWnd = hwnd;
    m_dpi = DpiOf(hwnd);
    MakeFont(m_dpi);
    RECT rc{0, 0, Px(clientW), Px(clientH)};
    AdjustWindowRectEx(&rc, style, FALSE, exStyle);
    SetWindowPos(hwnd, nullptr, 0, 0, rc.right - rc.left, rc.bottom - rc.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIconBig));
    SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIconSmall));
    if (HMENU sys = GetSystemMenu(hwnd, FALSE)) {
        AppendMenuW(sys, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(sys, MF_STRING, kIdmAbout, Wide(kAboutItem).c_str());
    }

    bool prevRadio = false;
    std::vector<HWND> lower;  // group boxes beneath their contents, the tab control beneath all
    HWND hTab = nullptr;
    for (const ControlTemplate& t : controls) {
        const std::wstring cap = t.caption ? Wide(t.caption) : std::wstring();
        const wchar_t* cls = WC_BUTTONW;
        DWORD s = WS_CHILD | WS_CLIPSIBLINGS;
        DWORD ex = 0;
        const bool radio = t.kind == CtlKind::Radio;
        // Radios of one group stand together; every other control starts a group.
        if (!radio || (t.style & kStyleGroupStart) || !prevRadio) s |= WS_GROUP;
        prevRadio = radio;
        switch (t.kind) {
        case CtlKind::PushButton: s |= BS_PUSHBUTTON | WS_TABSTOP; break;
        case CtlKind::CheckBox: s |= BS_AUTOCHECKBOX | WS_TABSTOP; break;
        case CtlKind::Radio: s |= BS_AUTORADIOBUTTON | ((t.style & kStyleGroupStart) ? WS_TABSTOP : 0); break;
        case CtlKind::GroupBox: s |= BS_GROUPBOX; break;
        case CtlKind::StaticText: cls = WC_STATICW; s |= SS_LEFT | SS_NOPREFIX; break;
        case CtlKind::Edit:
            cls = WC_EDITW;
            ex = WS_EX_CLIENTEDGE;
            s |= ES_AUTOHSCROLL | WS_TABSTOP;
            if (t.style & kStyleDigitsOnly) s |= ES_NUMBER;
            if (t.style & kStyleRightAlign) s |= ES_RIGHT;
            if (t.style & kStyleReadOnly) s |= ES_READONLY;
            if (t.style & kStylePassword) s |= ES_PASSWORD;
            break;
        case CtlKind::EditMulti:
            cls = WC_EDITW;
            ex = WS_EX_CLIENTEDGE;
            s |= ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY | WS_VSCROLL | WS_TABSTOP;
            break;
        case CtlKind::Progress: cls = PROGRESS_CLASSW; break;
        case CtlKind::Tab: cls = WC_TABCONTROLW; s |= WS_TABSTOP; break;
        }
        if (!(t.style & kStyleHidden)) s |= WS_VISIBLE;
        if (t.style & kStyleDisabled) s |= WS_DISABLED;
        const RECT r = ToWindow(t.rect);
        HWND h = CreateWindowExW(ex, cls, cap.c_str(), s, r.left, r.top, r.right - r.left, r.bottom - r.top,
                                 hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(t.id)), m_hInst, nullptr);
        if (!h) continue;
        SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(m_hFont), FALSE);
        if (t.kind == CtlKind::EditMulti) SendMessageW(h, EM_SETLIMITTEXT, 0, 0);  // no 32 K limit
        if (t.kind == CtlKind::GroupBox) {
            lower.push_back(h);
            SetWindowSubclass(h, &GroupBoxProc, 1, 0);
        }
        if (t.kind == CtlKind::Tab) hTab = h;
        m_ctls[t.id] = Ctl{t.kind, h, t.rect};
        if (t.kind == CtlKind::StaticText) Place(m_ctls[t.id]);
        if (t.kind == CtlKind::EditMulti && t.caption) m_multiText[t.id] = t.caption;
    }
    for (HWND h : lower) SetWindowPos(h, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    if (hTab) SetWindowPos(hTab, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    m_exchangeText = m_reasonText = nullptr;
    m_shownExchange.clear();
    m_shownReason.clear();
    if (m_exchange) {
        const Ctl* tab = Find(1000);
        const Rect tabR = tab ? tab->rect : Rect{8, 0, clientW - 16, 0};
        m_stripRect = Rect{tabR.x, clientH - strip, tabR.w, 2 * m_stripLineH};
        const DWORD s = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | SS_LEFT | SS_NOPREFIX;
        m_exchangeText = CreateWindowExW(0, WC_STATICW, L"", s | SS_ENDELLIPSIS, 0, 0, 0, 0, hwnd, nullptr, m_hInst,
                                         nullptr);
        m_reasonText = CreateWindowExW(0, WC_STATICW, L"", s, 0, 0, 0, 0, hwnd, nullptr, m_hInst, nullptr);
        for (HWND h : {m_exchangeText, m_reasonText})
            if (h) SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(m_hFont), FALSE);
        RefreshExchange();
        PlaceStrip();
    }

    m_hTip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd, nullptr, m_hInst,
                             nullptr);
    if (m_hTip) {
        SendMessageW(m_hTip, WM_SETFONT, reinterpret_cast<WPARAM>(m_hFont), FALSE);
        SendMessageW(m_hTip, TTM_SETMAXTIPWIDTH, 0, Px(480));  // several lines
        SendMessageW(m_hTip, TTM_SETDELAYTIME, TTDT_AUTOPOP, 30000);
    }
}

void Win32Host::Show(int nCmdShow) {
    HWND hwnd = Hwnd();
    if (!hwnd) return;
    // Centred on the monitor's work area.
    RECT wr{};
    GetWindowRect(hwnd, &wr);
    MONITORINFO mi{sizeof mi, {}, {}, 0};
    GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTOPRIMARY), &mi);
    const int w = wr.right - wr.left, h = wr.bottom - wr.top;
    SetWindowPos(hwnd, nullptr, mi.rcWork.left + std::max(0L, (mi.rcWork.right - mi.rcWork.left - w) / 2),
                 mi.rcWork.top + std::max(0L, (mi.rcWork.bottom - mi.rcWork.top - h) / 2), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER);
    ShowWindow(hwnd, nCmdShow);
    UpdateWindow(hwnd);
}

void Win32Host::Rescale(UINT dpi, const RECT* suggested) {
    HWND hwnd = Hwnd();
    if (!hwnd || dpi == 0) return;
    m_dpi = dpi;
    MakeFont(dpi);
    for (auto& [id, c] : m_ctls) Place(c);
    for (HWND h : {m_exchangeText, m_reasonText})
        if (h) SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(m_hFont), FALSE);
    PlaceStrip();
    for (auto& [id, text] : m_tips) {
        TTTOOLINFOW ti{};
        ti.cbSize = sizeof ti;
        ti.hwnd = hwnd;
        ti.uId = static_cast<UINT_PTR>(id);
        if (const Ctl* c = Find(id)) ti.rect = ToWindow(c->rect);
        SendMessageW(m_hTip, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&ti));
    }
    if (m_hTip) SendMessageW(m_hTip, TTM_SETMAXTIPWIDTH, 0, Px(480));
    if (suggested) {
        SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    InvalidateRect(hwnd, nullptr, TRUE);
}

int Win32Host::Px(int v) const { return MulDiv(v, static_cast<int>(m_dpi), 96); }

LRESULT Win32Host::Handle(UINT msg, WPARAM wParam, LPARAM lParam) {
    HWND hwnd = Hwnd();
    if (msg >= WM_USER && msg < WM_APP) {
        return m_pWnd ? static_cast<LRESULT>(m_pWnd->OnMessage(msg, wParam, lParam)) : 0;
    }
    switch (msg) {
    case kWmDrain: DrainCrossThread(); return 0;
    case WM_TIMER:
        if (wParam == kExchangeTimer) {
            RefreshExchange();
            return 0;
        }
        if (m_pWnd) m_pWnd->OnTimer(static_cast<int>(wParam));
        return 0;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        const HWND from = reinterpret_cast<HWND>(lParam);
        // Clicks of the controls; menus and accelerators (lParam 0) are not theirs.
        if (from && HIWORD(wParam) == BN_CLICKED && id != IDOK && m_pWnd) m_pWnd->OnCommand(id);
        if (!from && id == IDCANCEL && m_pWnd) m_pWnd->OnCancel();
        return 0;
    }
    case WM_NOTIFY: {
        const auto* nm = reinterpret_cast<const NMHDR*>(lParam);
        if (nm->code == TCN_SELCHANGE) {
            if (m_pWnd) m_pWnd->OnTabSelChange();
            return 0;
        }
        if (nm->hwndFrom == m_hTip && nm->code == TTN_GETDISPINFOW) {
            auto* di = reinterpret_cast<NMTTDISPINFOW*>(lParam);
            const int id = static_cast<int>(nm->idFrom);
            di->lpszText = const_cast<wchar_t*>(L"");
            // A control of another page stands there: no tip.
            if (!IsControlVisible(id)) return 0;
            if (m_pWnd) m_pWnd->OnToolTip(id);  // the window may renew the text
            auto it = m_tips.find(id);
            if (it != m_tips.end()) di->lpszText = it->second.data();
            return 0;
        }
        return 0;
    }
    case WM_CONTEXTMENU: {
        POINT pt{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        if (pt.x == -1 && pt.y == -1) GetCursorPos(&pt);  // from the keyboard
        OnContextMenuAt(reinterpret_cast<HWND>(wParam), pt.x, pt.y);
        return 0;
    }
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == kIdmAbout) {
            if (m_pWnd) m_pWnd->OnAbout();
            return 0;
        }
        break;
    case WM_CLOSE:
        if (!m_ended && m_pWnd) m_pWnd->OnCancel();
        return 0;
    case WM_DPICHANGED:
        Rescale(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
        // Texts, check boxes, radios and frames on the tab's page take the
        // page's colour; edits keep their own.
        HWND ctl = reinterpret_cast<HWND>(lParam);
        if (ctl && ctl == m_reasonText) {
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, kReasonColour);
            SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        }
        wchar_t cls[16] = {};
        GetClassNameW(ctl, cls, 16);
        if (lstrcmpiW(cls, WC_EDITW) == 0) break;
        const int face = OnTabPage(ctl) ? COLOR_WINDOW : COLOR_BTNFACE;
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetBkColor(dc, GetSysColor(face));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(face));
    }
    default: break;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

void Win32Host::OnContextMenuAt(HWND hChild, long screenX, long screenY) {
    HWND hwnd = Hwnd();
    const POINT screen{screenX, screenY};
    // A disabled control's clicks come to the window: find the control under
    // the pointer, the topmost visible one.
    if (hChild == hwnd || !hChild) {
        POINT client = screen;
        ScreenToClient(hwnd, &client);
        hChild = ChildWindowFromPointEx(hwnd, client, CWP_SKIPINVISIBLE | CWP_SKIPTRANSPARENT);
    }
    int id = 0;
    if (hChild && hChild != hwnd)
        for (const auto& [cid, c] : m_ctls)
            if (c.hwnd == hChild) id = cid;
    if (id != 0 && m_pWnd && m_pWnd->OnContextMenu(id)) return;
    // The window's own menu: the About item.
    MenuItem about{kAboutItem};
    if (PopupMenu(std::span<const MenuItem>(&about, 1)) == 0 && m_pWnd) m_pWnd->OnAbout();
}

bool Win32Host::OnTabPage(HWND__* ctl) const {
    // A themed tab control draws its page in the window colour; an unthemed
    // one in the face colour of the window around it.
    HWND tab = nullptr;
    for (const auto& [id, c] : m_ctls)
        if (c.kind == CtlKind::Tab) tab = c.hwnd;
    if (!tab || !IsAppThemed()) return false;
    RECT t{}, r{};
    GetWindowRect(tab, &t);
    GetWindowRect(ctl, &r);
    return r.left >= t.left && r.top >= t.top && r.right <= t.right && r.bottom <= t.bottom;
}

bool Win32Host::ConsoleKey(const MSG& msg) {
    HWND hwnd = Hwnd();
    if (msg.message != WM_KEYDOWN || !hwnd || (msg.hwnd != hwnd && !IsChild(hwnd, msg.hwnd))) return false;
    switch (msg.wParam) {
    case VK_RETURN: return true;  // Enter never ends the console
    case VK_ESCAPE:
        if (m_pWnd) m_pWnd->OnCancel();
        return true;
    case VK_F1:
        if (m_pWnd) m_pWnd->OnAbout();
        return true;
    default: return false;
    }
}

void Win32Host::RelayToToolTip(const MSG& msg) {
    HWND hwnd = Hwnd();
    if (!m_hTip || m_tips.empty() || msg.message < WM_MOUSEFIRST || msg.message > WM_MOUSELAST) return;
    if (msg.hwnd != hwnd && !IsChild(hwnd, msg.hwnd)) return;
    // The tools are rectangles of the window: a control's mouse moves are told
    // in the window's coordinates.
    MSG m = msg;
    if (msg.hwnd != hwnd) {
        POINT pt{static_cast<short>(LOWORD(msg.lParam)), static_cast<short>(HIWORD(msg.lParam))};
        MapWindowPoints(msg.hwnd, hwnd, &pt, 1);
        m.hwnd = hwnd;
        m.lParam = MAKELPARAM(pt.x, pt.y);
    }
    SendMessageW(m_hTip, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&m));
}

int Win32Host::Exec() {
    MSG msg;
    while (!m_ended && Hwnd()) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {  // WM_QUIT: ends the window as EXIT does
            if (m_pWnd && !m_ended) m_pWnd->OnCancel();
            break;
        }
        if (got < 0) break;
        RelayToToolTip(msg);
        if (ConsoleKey(msg)) continue;
        if (IsDialogMessageW(Hwnd(), &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return m_result;
}

void Win32Host::SetTitle(std::string_view title) {
    if (HWND h = Hwnd()) SetWindowTextW(h, Wide(title).c_str());
}

std::string Win32Host::GetTitle() const {
    HWND h = Hwnd();
    return h ? Utf8(ClassText(h)) : std::string();
}

std::string Win32Host::AppTitle() const {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::size_t slash = path.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos && dot > 0) name.resize(dot);
    return Utf8(name);
}

void Win32Host::EndDialog(int nResult) {
    m_ended = true;
    m_result = nResult;
    HWND h = Hwnd();
    if (!h) return;
    ShowWindow(h, SW_HIDE);
    PostMessageW(h, WM_NULL, 0, 0);  // the loop sees the end at once
}

// ---- timers and messages ------------------------------------------------------

void Win32Host::SetTimer(int nIdEvent, unsigned nElapseMs) {
    // Setting a running timer's id again restarts it from the full time.
    if (HWND h = Hwnd()) ::SetTimer(h, static_cast<UINT_PTR>(nIdEvent), std::max(nElapseMs, 1u), nullptr);
}

void Win32Host::KillTimer(int nIdEvent) {
    if (HWND h = Hwnd()) ::KillTimer(h, static_cast<UINT_PTR>(nIdEvent));
}

void Win32Host::PostMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
    if (HWND h = Hwnd()) ::PostMessageW(h, msg, wParam, lParam);
}

void Win32Host::WakeUiThread() {
    // Any thread: the window's handle is set before a reader can start.
    if (HWND h = m_hWnd.load()) ::PostMessageW(h, kWmDrain, 0, 0);
}

// ---- modal boxes --------------------------------------------------------------

int Win32Host::MessageBox(std::string_view text, std::string_view caption, MsgIcon icon) {
    const std::wstring t = Wide(text);
    const std::wstring c = Wide(caption.empty() ? std::string_view(AppTitle()) : caption);
    if (icon == MsgIcon::Application) {
        MSGBOXPARAMSW p{};
        p.cbSize = sizeof p;
        p.hwndOwner = Hwnd();
        p.hInstance = m_hInst;
        p.lpszText = t.c_str();
        p.lpszCaption = c.c_str();
        p.dwStyle = MB_OK | MB_USERICON;
        p.lpszIcon = MAKEINTRESOURCEW(m_iconId);
        MessageBoxIndirectW(&p);
        return kIdOk;
    }
    MessageBoxW(Hwnd(), t.c_str(), c.c_str(), MB_OK | IconFlags(icon));
    return kIdOk;
}

int Win32Host::AskYesNo(std::string_view text, std::string_view caption, MsgIcon icon) {
    const std::wstring t = Wide(text);
    const std::wstring c = Wide(caption.empty() ? std::string_view(AppTitle()) : caption);
    const UINT flags = MB_YESNO | MB_DEFBUTTON2 | (icon == MsgIcon::None ? MB_ICONQUESTION : IconFlags(icon));
    return MessageBoxW(Hwnd(), t.c_str(), c.c_str(), flags) == IDYES ? kIdYes : kIdNo;
}

std::optional<std::string> Win32Host::OpenFileDialog(std::string_view filter) {
    const std::wstring f = OpenFilter(filter);
    std::wstring file(32768, L'\0');
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = Hwnd();
    ofn.lpstrFilter = f.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    // The folder of the chosen file becomes the current one, as the service
    // log's folder expects.
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_EXPLORER;
    if (!GetOpenFileNameW(&ofn)) return std::nullopt;
    file.resize(wcslen(file.c_str()));
    return Utf8(file);
}

std::optional<std::string> Win32Host::PromptText(std::string_view caption, int maxChars, bool password,
                                                 const PromptLayout& layout) {
    // An empty dialog template (no controls, no font of its own); the edit is
    // made in pixels when the dialog starts.
    struct alignas(4) Template {
        DLGTEMPLATE t;
        WORD menu, cls, title;
    } tpl{};
    tpl.t.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    PromptLayout scaled = layout;
    scaled.clientW = Px(layout.clientW);
    scaled.clientH = Px(layout.clientH);
    scaled.edit = Rect{Px(layout.edit.x), Px(layout.edit.y), Px(layout.edit.w), Px(layout.edit.h)};
    Prompt p{Wide(caption), maxChars, password, scaled, m_hFont ? m_hFont : DialogFont(m_dpi), {}};
    const INT_PTR rc = DialogBoxIndirectParamW(m_hInst, &tpl.t, Hwnd(), &PromptProc, reinterpret_cast<LPARAM>(&p));
    if (!m_hFont) DeleteObject(p.font);
    if (rc != IDOK) return std::nullopt;
    return Utf8(p.text);
}

int Win32Host::PopupMenu(std::span<const MenuItem> items) {
    HMENU menu = CreatePopupMenu();
    if (!menu) return -1;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const MenuItem& it = items[i];
        if (it.separator) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            continue;
        }
        UINT flags = MF_STRING;
        if (!it.enabled) flags |= MF_GRAYED;
        if (it.checked) flags |= MF_CHECKED;
        AppendMenuW(menu, flags, i + 1, Wide(it.text).c_str());
    }
    POINT pt{};
    GetCursorPos(&pt);
    HWND h = Hwnd();
    if (h) SetForegroundWindow(h);  // the menu closes when clicked beside
    const int chosen = static_cast<int>(
        TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, pt.x, pt.y, 0, h, nullptr));
    DestroyMenu(menu);
    return chosen > 0 ? chosen - 1 : -1;
}

// ---- controls -----------------------------------------------------------------

const Win32Host::Ctl* Win32Host::Find(int id) const {
    auto it = m_ctls.find(id);
    return it == m_ctls.end() ? nullptr : &it->second;
}

HWND Win32Host::Control(int id) const {
    const Ctl* c = Find(id);
    return c ? c->hwnd : nullptr;
}

void Win32Host::ShowControl(int id, bool bShow) {
    if (HWND h = Control(id)) ShowWindow(h, bShow ? SW_SHOWNA : SW_HIDE);
}

bool Win32Host::IsControlVisible(int id) const {
    HWND h = Control(id);
    return h && (GetWindowLongPtrW(h, GWL_STYLE) & WS_VISIBLE) != 0;
}

void Win32Host::EnableControl(int id, bool bEnable) {
    if (HWND h = Control(id)) EnableWindow(h, bEnable ? TRUE : FALSE);
}

bool Win32Host::IsControlEnabled(int id) const {
    HWND h = Control(id);
    return h && IsWindowEnabled(h);
}

void Win32Host::SetControlText(int id, std::string_view text) {
    const Ctl* c = Find(id);
    if (!c) return;
    if (c->kind == CtlKind::EditMulti) {
        std::string& shadow = m_multiText[id];
        if (shadow == text) return;
        shadow = std::string(text);
        // A view that showed the newest line keeps showing it.
        SCROLLINFO si{sizeof si, SIF_ALL, 0, 0, 0, 0, 0};
        const bool atEnd = !GetScrollInfo(c->hwnd, SB_VERT, &si) ||
                           si.nPos + static_cast<int>(si.nPage) > si.nMax;
        SendMessageW(c->hwnd, WM_SETREDRAW, FALSE, 0);
        SetWindowTextW(c->hwnd, EditLines(Wide(text)).c_str());
        if (atEnd) ScrollToEnd(id);
        SendMessageW(c->hwnd, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(c->hwnd, nullptr, TRUE);
        return;
    }
    const std::wstring w = Wide(text);
    if (ClassText(c->hwnd) == w) return;
    SetWindowTextW(c->hwnd, w.c_str());
    if (c->kind == CtlKind::StaticText) Place(*c);
}

std::string Win32Host::GetControlText(int id) const {
    const Ctl* c = Find(id);
    if (!c) return {};
    if (c->kind == CtlKind::EditMulti) {
        auto it = m_multiText.find(id);
        return it == m_multiText.end() ? std::string() : it->second;
    }
    return Utf8(ClassText(c->hwnd));
}

void Win32Host::SetCheck(int id, int nCheck) {
    const Ctl* c = Find(id);
    if (!c || (c->kind != CtlKind::CheckBox && c->kind != CtlKind::Radio)) return;
    // Code may set any state, also none or two radios of a group.
    SendMessageW(c->hwnd, BM_SETCHECK, nCheck ? BST_CHECKED : BST_UNCHECKED, 0);
}

int Win32Host::GetCheck(int id) const {
    const Ctl* c = Find(id);
    if (!c || (c->kind != CtlKind::CheckBox && c->kind != CtlKind::Radio)) return 0;
    return SendMessageW(c->hwnd, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
}

void Win32Host::MoveControl(int id, Rect r) {
    auto it = m_ctls.find(id);
    if (it == m_ctls.end()) return;
    it->second.rect = r;
    Place(it->second);
    const RECT w = ToWindow(r);
    if (m_tips.count(id) && m_hTip) {
        TTTOOLINFOW ti{};
        ti.cbSize = sizeof ti;
        ti.hwnd = Hwnd();
        ti.uId = static_cast<UINT_PTR>(id);
        ti.rect = w;
        SendMessageW(m_hTip, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&ti));
    }
}

void Win32Host::Place(const Ctl& c) const {
    RECT r = ToWindow(c.rect);
    if (c.kind == CtlKind::StaticText) {
        // A text's window is as wide as its text, within its rectangle: the
        // layout's text rectangles overlap their neighbours (Request's reaches
        // into Dispensed), and an opaque text would hide the next one's start.
        HDC dc = GetDC(c.hwnd);
        HGDIOBJ old = SelectObject(dc, m_hFont);
        const std::wstring text = ClassText(c.hwnd);
        SIZE sz{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &sz);
        SelectObject(dc, old);
        ReleaseDC(c.hwnd, dc);
        r.right = std::min(r.right, r.left + sz.cx + Px(2));
    }
    SetWindowPos(c.hwnd, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Host::SetExchangeLine(ExchangeLine* line) {
    m_exchange = line;
    if (line) line->SetOnChange([this] { RefreshExchange(); });
}

void Win32Host::PlaceStrip() const {
    if (!m_exchangeText || !m_reasonText) return;
    const RECT both = ToWindow(m_stripRect);
    const int lineH = Px(m_stripLineH);
    SetWindowPos(m_exchangeText, nullptr, both.left, both.top, both.right - both.left, lineH,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    // Both lines while nothing is under way, the second beneath the exchange.
    const int top = m_shownExchange.empty() ? both.top : both.top + lineH;
    SetWindowPos(m_reasonText, nullptr, both.left, top, both.right - both.left, both.bottom - top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Host::RefreshExchange() {
    HWND hwnd = Hwnd();
    if (!m_exchange || !m_exchangeText || !m_reasonText || !hwnd) return;
    const std::wstring line = Wide(m_exchange->Line());
    const std::wstring reason = Wide(m_exchange->Reason());
    const bool moved = line.empty() != m_shownExchange.empty();
    if (line != m_shownExchange) {
        m_shownExchange = line;
        SetWindowTextW(m_exchangeText, line.c_str());
    }
    if (reason != m_shownReason) {
        m_shownReason = reason;
        SetWindowTextW(m_reasonText, reason.c_str());
    }
    if (moved) PlaceStrip();
    if (m_exchange->Counting() != m_stripTicking) {
        m_stripTicking = m_exchange->Counting();
        if (m_stripTicking) ::SetTimer(hwnd, kExchangeTimer, 100, nullptr);
        else ::KillTimer(hwnd, kExchangeTimer);
    }
}

Rect Win32Host::GetControlRect(int id) const {
    const Ctl* c = Find(id);
    return c ? c->rect : Rect{};
}

void Win32Host::SetToolTip(int id, std::string_view text) {
    const Ctl* c = Find(id);
    if (!c || !m_hTip) return;
    const bool known = m_tips.count(id) != 0;
    m_tips[id] = Wide(text);
    if (known) return;  // the text is asked for each time the tip shows
    // A rectangle of the window rather than the control itself, so a disabled
    // control (the status line) shows its tip too.
    TTTOOLINFOW ti{};
    ti.cbSize = sizeof ti;
    ti.uFlags = 0;
    ti.hwnd = Hwnd();
    ti.uId = static_cast<UINT_PTR>(id);
    ti.rect = ToWindow(c->rect);
    ti.hinst = m_hInst;
    ti.lpszText = LPSTR_TEXTCALLBACKW;
    SendMessageW(m_hTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
}

void Win32Host::SetProgressRange(int id, int nLow, int nHigh) {
    if (HWND h = Control(id)) SendMessageW(h, PBM_SETRANGE32, static_cast<WPARAM>(nLow), nHigh);
}

void Win32Host::SetProgressPos(int id, int nPos) {
    if (HWND h = Control(id)) SendMessageW(h, PBM_SETPOS, static_cast<WPARAM>(nPos), 0);
}

int Win32Host::GetProgressPos(int id) const {
    HWND h = Control(id);
    return h ? static_cast<int>(SendMessageW(h, PBM_GETPOS, 0, 0)) : 0;
}

void Win32Host::ScrollToEnd(int id) {
    if (HWND h = Control(id)) {
        const LRESULT len = SendMessageW(h, WM_GETTEXTLENGTH, 0, 0);
        SendMessageW(h, EM_SETSEL, static_cast<WPARAM>(len), len);
        SendMessageW(h, EM_SCROLLCARET, 0, 0);
        SendMessageW(h, WM_VSCROLL, SB_BOTTOM, 0);
    }
}

void Win32Host::InsertTab(int id, int nIndex, std::string_view text) {
    HWND h = Control(id);
    if (!h) return;
    std::wstring w = Wide(text);
    TCITEMW item{};
    item.mask = TCIF_TEXT | TCIF_IMAGE;
    item.pszText = w.data();
    item.iImage = nIndex;  // each item's own position; no image list is attached
    SendMessageW(h, TCM_INSERTITEMW, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(&item));
}

int Win32Host::GetCurSel(int id) const {
    HWND h = Control(id);
    return h ? static_cast<int>(SendMessageW(h, TCM_GETCURSEL, 0, 0)) : -1;
}

}  // namespace fw
