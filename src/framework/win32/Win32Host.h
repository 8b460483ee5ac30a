// Native Win32 back-end of the framework layer: one top-level window whose
// controls are its children, known by id, made with CreateWindowExW in the
// dialog font; SetTimer per id, PostMessage, and the cross-thread send woken
// by a posted message.  Texts are UTF-8 inside and UTF-16 at every call.
//
// Coordinates the console gives and reads are pixels at 96 dpi; the window
// scales them to its monitor's dpi (the process is per-monitor aware), so the
// layout table means the same on every screen.
#pragma once

// <windows.h>, where a file needs it, comes first: its macros of these names
// would rename the framework layer's calls.
#undef CreateDialog
#undef PostMessage
#undef MessageBox

#include "framework/Host.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

// The platform's handle types, without <windows.h>.
struct HWND__;
struct HINSTANCE__;
struct HFONT__;
struct HICON__;
struct tagMSG;
struct tagRECT;
class ExchangeLine;

namespace fw {

// UTF-8 to UTF-16 and back, for the calls.
std::wstring Wide(std::string_view s);
std::string Utf8(std::wstring_view s);
// "name|pattern|name|pattern||" to the Open dialog's "name\0pattern\0...\0\0".
std::wstring OpenFilter(std::string_view filter);

class Win32Host final : public Host {
public:
    // iconId: the program's icon resource (window, minimized, About box).
    explicit Win32Host(HINSTANCE__* hInstance, int iconId = 128);
    ~Win32Host() override;

    HWND__* Hwnd() const { return m_hWnd.load(); }
    // Runs the window's message loop until EndDialog; returns its result.
    int Exec();
    bool Ended() const { return m_ended; }
    // Whether RaisePriority raises it: on in the console program.
    void SetRaisesPriority(bool bOn) { m_raisesPriority = bOn; }
    // Shows the window (after CreateDialog and the dialog's start-up).
    void Show(int nCmdShow);
    // The exchange line and the last failure's reason, shown in a strip
    // below the pages (given before CreateDialog; it outlives the window).
    void SetExchangeLine(ExchangeLine* line);

    // ---- Host ------------------------------------------------------------
    void CreateDialog(std::string_view title, int clientW, int clientH,
                      std::span<const ControlTemplate> controls) override;
    void SetTitle(std::string_view title) override;
    std::string GetTitle() const override;
    std::string AppTitle() const override;
    void EndDialog(int nResult) override;
    void SetTimer(int nIdEvent, unsigned nElapseMs) override;
    void KillTimer(int nIdEvent) override;
    void PostMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override;
    int MessageBox(std::string_view text, std::string_view caption, MsgIcon icon) override;
    int AskYesNo(std::string_view text, std::string_view caption, MsgIcon icon) override;
    std::optional<std::string> OpenFileDialog(std::string_view filter) override;
    std::optional<std::string> PromptText(std::string_view caption, int maxChars, bool password,
                                          const PromptLayout& layout) override;
    int PopupMenu(std::span<const MenuItem> items) override;
    void ShowControl(int id, bool bShow) override;
    bool IsControlVisible(int id) const override;
    void EnableControl(int id, bool bEnable) override;
    bool IsControlEnabled(int id) const override;
    void SetControlText(int id, std::string_view text) override;
    std::string GetControlText(int id) const override;
    void SetCheck(int id, int nCheck) override;
    int GetCheck(int id) const override;
    void MoveControl(int id, Rect r) override;
    Rect GetControlRect(int id) const override;
    void SetToolTip(int id, std::string_view text) override;
    void SetProgressRange(int id, int nLow, int nHigh) override;
    void SetProgressPos(int id, int nPos) override;
    int GetProgressPos(int id) const override;
    void ScrollToEnd(int id) override;
    void InsertTab(int id, int nIndex, std::string_view text) override;
    int GetCurSel(int id) const override;
    BaseUnits DialogBaseUnits() const override;
    void RaisePriority() override;

protected:
    void WakeUiThread() override;

private:
    struct Ctl {
        CtlKind kind;
        HWND__* hwnd;
        Rect rect;  // at 96 dpi, as the console gave it
    };
    friend struct Win32HostProc;
    std::intptr_t Handle(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam);
    void OnContextMenuAt(HWND__* hChild, long screenX, long screenY);
    // Keys of the console: Enter does nothing, Esc cancels, F1 shows the About
    // box.  True when msg was one of them.
    bool ConsoleKey(const tagMSG& msg);
    // Whether a control stands on the tab control's page (drawn in its colour).
    bool OnTabPage(HWND__* ctl) const;
    // Mouse moves over the window or its controls, to the tooltip.
    void RelayToToolTip(const tagMSG& msg);
    void Rescale(unsigned dpi, const tagRECT* suggested);
    void MakeFont(unsigned dpi);
    int Px(int v) const;
    tagRECT ToWindow(Rect r) const;
    // Puts a control where its rectangle says, at the window's dpi.
    void Place(const Ctl& c) const;
    const Ctl* Find(int id) const;
    HWND__* Control(int id) const;
    // The strip's two texts from the exchange line now; its timer runs while
    // the line counts down.
    void RefreshExchange();
    void PlaceStrip() const;

    HINSTANCE__* m_hInst;
    int m_iconId;
    HICON__* m_hIconBig = nullptr;
    HICON__* m_hIconSmall = nullptr;
    std::atomic<HWND__*> m_hWnd{nullptr};
    HWND__* m_hTip = nullptr;
    HFONT__* m_hFont = nullptr;
    unsigned m_dpi = 96;
    int m_clientW = 0, m_clientH = 0;  // at 96 dpi
    std::map<int, Ctl> m_ctls;
    std::map<int, std::wstring> m_tips;        // tooltip texts, by control id
    std::map<int, std::string> m_multiText;    // receive text as the console wrote it
    bool m_ended = false;
    int m_result = 0;
    bool m_raisesPriority = false;
    ExchangeLine* m_exchange = nullptr;
    HWND__* m_exchangeText = nullptr;
    HWND__* m_reasonText = nullptr;
    Rect m_stripRect{};      // both lines, at 96 dpi
    int m_stripLineH = 0;    // one line, at 96 dpi
    bool m_stripTicking = false;
    std::wstring m_shownExchange, m_shownReason;
};

}  // namespace fw
