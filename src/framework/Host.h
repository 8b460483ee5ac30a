// The application-framework layer the console logic talks to: timers by id,
// posted messages, a cross-thread synchronous send, message boxes, the file
// dialog, a text prompt, and controls known by numeric id.  Three back-ends
// stand behind it: the Qt 6 window (src/framework/qt), the native Win32 window
// (src/framework/win32) and the headless one with a virtual clock
// (HeadlessHost) that the tests drive.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>

namespace fw {

// Kinds of control a dialog template holds.
enum class CtlKind : std::uint8_t {
    PushButton,
    CheckBox,
    Radio,       // auto radio button; exclusive within its group
    GroupBox,
    StaticText,
    Edit,        // single-line edit
    EditMulti,   // multi-line edit with a vertical scroll bar
    Progress,
    Tab,
};

// Style bits of a control template entry.
enum CtlStyle : std::uint32_t {
    kStyleNone = 0,
    kStyleDigitsOnly = 1u << 0,   // typing limited to digits (texts set by code pass)
    kStyleRightAlign = 1u << 1,
    kStyleGroupStart = 1u << 2,   // radio: first of an exclusive group
    kStyleDisabled = 1u << 3,     // created disabled
    kStyleHidden = 1u << 4,       // created hidden
    kStyleReadOnly = 1u << 5,
    kStylePassword = 1u << 6,
};

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
};

// One control of a dialog template.  Rectangles are in pixels of the client area
// (the console converts its dialog-unit entries before creating).
struct ControlTemplate {
    int id;
    CtlKind kind;
    const char* caption;
    Rect rect;
    std::uint32_t style;
};

// Application: the program's own icon, as the About box shows it.
enum class MsgIcon : std::uint8_t { None, Warning, Stop, Information, Question, Application };

// Answers of a message box (platform values: IDOK 1, IDCANCEL 2).
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// What a dialog receives from its host.  Every call arrives on the
// user-interface thread.
class Window {
public:
    virtual ~Window() = default;
    virtual void OnTimer(int nIdEvent) = 0;
    virtual std::intptr_t OnMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) = 0;
    virtual void OnCommand(int nId) = 0;      // a click (BN_CLICKED) on control nId
    virtual void OnTabSelChange() = 0;        // TCN_SELCHANGE of the tab control
    virtual void OnCancel() = 0;              // EXIT, Esc or the close box
    virtual void OnAbout() = 0;               // the About item (context menu or F1)
    // A right click on control nId: true when the window showed a menu of its
    // own; false leaves the window's usual context menu.
    virtual bool OnContextMenu(int nId) {
        (void)nId;
        return false;
    }
    // The tooltip of control nId is about to show: the window may renew it.
    virtual void OnToolTip(int nId) { (void)nId; }
};

// One entry of a pop-up menu.
struct MenuItem {
    std::string text;
    bool enabled = true;
    bool checked = false;
    bool separator = false;  // a line; text and the flags are not used
};

class Host {
public:
    Host();
    virtual ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    void SetWindow(Window* pWnd) { m_pWnd = pWnd; }
    Window* GetWindow() const { return m_pWnd; }

    // ---- window ----------------------------------------------------------
    // Creates the dialog's controls from a template; client size in pixels.
    virtual void CreateDialog(std::string_view title, int clientW, int clientH,
                              std::span<const ControlTemplate> controls) = 0;
    virtual void SetTitle(std::string_view title) = 0;
    virtual std::string GetTitle() const = 0;
    // The application title: the executable's file name without extension.
    virtual std::string AppTitle() const = 0;
    virtual void EndDialog(int nResult) = 0;

    // ---- timers and messages (user-interface thread) ---------------------
    // Starting a running timer restarts it from the full time.  Timers are
    // periodic until killed.
    virtual void SetTimer(int nIdEvent, unsigned nElapseMs) = 0;
    virtual void KillTimer(int nIdEvent) = 0;
    // Queued: the window's OnMessage runs later from the message loop.
    virtual void PostMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) = 0;

    // From any thread but the user-interface thread: has OnMessage run on the
    // user-interface thread and returns true after it ran.  Returns false,
    // without the handler ever running, when st is stopped first (the channel
    // is closing).  A request whose sender gave up is dropped unhandled.
    bool SendMessageFromThread(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam,
                               std::stop_token st);

    // ---- modal boxes (run a nested loop: timers and posted messages go on) --
    virtual int MessageBox(std::string_view text, std::string_view caption, MsgIcon icon) = 0;
    // A question with the buttons Yes and No, No the default (Enter, Esc and
    // the close box all answer No); kIdYes or kIdNo.
    virtual int AskYesNo(std::string_view text, std::string_view caption, MsgIcon icon) = 0;
    // Open-file dialog.  filter uses the "name|pattern|name|pattern||" form.
    // Returns the chosen path, or nothing when cancelled.
    virtual std::optional<std::string> OpenFileDialog(std::string_view filter) = 0;
    // A small modal prompt with one edit (password style if asked) and no
    // buttons; Enter gives the text, Esc or the close box gives nothing.  The
    // layout is in pixels; an empty one leaves the size to the back-end.
    struct PromptLayout {
        int clientW = 0, clientH = 0;
        Rect edit;
        // What the prompt asks, for a back-end that labels it; may be empty.
        std::string_view label = {};
    };
    virtual std::optional<std::string> PromptText(std::string_view caption, int maxChars,
                                                  bool password, const PromptLayout& layout) = 0;

    // A pop-up menu at the pointer (nested loop); the index of the chosen
    // item, or -1 when none was chosen.
    virtual int PopupMenu(std::span<const MenuItem> items) {
        (void)items;
        return -1;
    }

    // ---- controls by id --------------------------------------------------
    virtual void ShowControl(int id, bool bShow) = 0;
    virtual bool IsControlVisible(int id) const = 0;
    virtual void EnableControl(int id, bool bEnable) = 0;
    virtual bool IsControlEnabled(int id) const = 0;
    virtual void SetControlText(int id, std::string_view text) = 0;
    virtual std::string GetControlText(int id) const = 0;
    virtual void SetCheck(int id, int nCheck) = 0;
    virtual int GetCheck(int id) const = 0;
    virtual void MoveControl(int id, Rect r) = 0;
    virtual Rect GetControlRect(int id) const = 0;
    virtual void SetToolTip(int id, std::string_view text) = 0;
    virtual void SetProgressRange(int id, int nLow, int nHigh) = 0;
    virtual void SetProgressPos(int id, int nPos) = 0;
    virtual int GetProgressPos(int id) const = 0;
    // Multi-line edit: scroll so that the last line is visible.
    virtual void ScrollToEnd(int id) = 0;
    // Tab control.
    virtual void InsertTab(int id, int nIndex, std::string_view text) = 0;
    virtual int GetCurSel(int id) const = 0;
    // A static text that names a field: the text's shortcut key goes to the
    // field.  Back-ends without shortcut keys on texts leave it.
    virtual void SetBuddy(int labelId, int fieldId) {
        (void)labelId;
        (void)fieldId;
    }

    // ---- process services ------------------------------------------------
    // Raises the process to high priority where the back-end and the system
    // allow it (the console window does; tests and tools leave it as it is).
    virtual void RaisePriority() {}
    // Local time, for names made from the date and time.
    virtual std::tm LocalTime() const;

    // Dialog base units of the dialog font in pixels: the average width of the
    // 52 Latin letters and the character height.  A dialog unit is cx/4 pixels
    // across and cy/8 pixels down.  Back-ends without a font use Tahoma 9 pt
    // at 96 dpi.
    struct BaseUnits {
        int cx;
        int cy;
    };
    virtual BaseUnits DialogBaseUnits() const { return {7, 15}; }

protected:
    // Back-ends call this on the user-interface thread to run the waiting
    // cross-thread requests.
    void DrainCrossThread();
    // Back-ends make the user-interface thread call DrainCrossThread soon.
    virtual void WakeUiThread() = 0;
    bool HasCrossThreadWork();

    Window* m_pWnd = nullptr;

private:
    struct Request {
        unsigned msg;
        std::uintptr_t wParam;
        std::intptr_t lParam;
        bool bDone = false;
        bool bAbandoned = false;
    };
    std::mutex m_mx;
    std::condition_variable_any m_cv;
    std::deque<std::shared_ptr<Request>> m_requests;
};

}  // namespace fw
