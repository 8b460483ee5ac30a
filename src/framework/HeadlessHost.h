// Headless back-end of the framework layer, for tests: a virtual clock that the
// test advances, controls held in memory, message boxes recorded and answered
// by the test, posted messages and cross-thread sends run when the test pumps.
#pragma once

#include "framework/Host.h"

#include <chrono>
#include <functional>
#include <map>
#include <vector>

namespace fw {

struct MessageBoxRecord {
    std::string text;
    std::string caption;
    MsgIcon icon;
    bool yesNo = false;  // a Yes/No question (AskYesNo): answered kIdYes or kIdNo
};

class HeadlessHost final : public Host {
public:
    HeadlessHost();
    ~HeadlessHost() override;

    // ---- test controls ---------------------------------------------------
    // Virtual time in milliseconds since construction.
    std::uint64_t Now() const { return m_now; }
    // Moves the clock on by ms, firing every due timer in order of due time
    // (ties in order of starting) and running posted messages and cross-thread
    // requests between expiries.  May be called from inside a message box
    // answer, which is how a timer fires while a box is open.
    void Advance(std::uint64_t ms);
    // Runs posted messages and waiting cross-thread requests until none is left.
    void Pump();
    // Pumps until pred() holds or the real-time limit passes; returns pred().
    bool PumpUntil(const std::function<bool()>& pred,
                   std::chrono::milliseconds realLimit = std::chrono::seconds(5));
    // Waits, without handling it, until another thread's synchronous request
    // is pending (that thread then waits in its hand-over); false on the
    // real-time limit.
    bool WaitForCrossThreadRequest(std::chrono::milliseconds realLimit = std::chrono::seconds(5));
    bool IsTimerRunning(int id) const;
    // Due time of a running timer (virtual ms), or nothing.
    std::optional<std::uint64_t> TimerDue(int id) const;
    std::optional<unsigned> TimerPeriod(int id) const;
    // Where the clock stands when a timer is armed.  A real-time driver sets
    // it: a timer armed between two of its steps (inside another thread's
    // hand-over) then counts from the real moment it was armed, not from the
    // driver's last step.  Empty: the virtual clock as it stands.
    void SetArmClock(std::function<std::uint64_t()> clock) { m_armClock = std::move(clock); }
    // Due time of the timer that fires next (virtual ms), or nothing when no
    // timer runs.
    std::optional<std::uint64_t> NextDue() const;

    // A user's click: only on a visible, enabled control.  Radios become checked
    // and clear the rest of their group; check boxes toggle.  Returns whether the
    // click reached the control.
    bool Click(int id);
    // A user's typing into an edit (replaces its text).
    void Type(int id, std::string_view text);
    // A user's choice of tab nIndex on the tab control id.
    void SelectTab(int id, int nIndex);

    // Back to the state of a new host (no controls, no timers, nothing posted
    // or recorded, the clock at 0), keeping the answer functions and the
    // memory the controls took, so that a host reused many times (a fuzz
    // target's) costs no allocations.  No request of another thread may be pending.
    void Reset();

    // Message boxes shown so far, and the function that answers the next ones
    // (default: kIdOk).  The function may call Advance().
    std::vector<MessageBoxRecord> m_boxes;
    std::function<int(const MessageBoxRecord&)> m_answerBox;
    // Answers of the file dialog and the text prompt (default: cancelled).
    std::function<std::optional<std::string>(std::string_view filter)> m_answerFile;
    std::function<std::optional<std::string>(std::string_view caption)> m_answerPrompt;
    std::vector<std::string> m_prompts;   // captions of prompts shown
    // Pop-up menus shown so far (their items) and the function that picks from
    // the next one (default: none chosen, -1).
    std::vector<std::vector<MenuItem>> m_menus;
    std::function<int(const std::vector<MenuItem>&)> m_answerMenu;
    // A user's right click on a control; returns whether the window showed a
    // menu of its own.
    bool RightClick(int id);
    std::optional<int> m_endResult;       // set by EndDialog
    std::tm m_localTime{};                // what LocalTime() returns
    bool m_useRealLocalTime = false;
    std::string m_appTitle = "zantu-console";

    // ---- Host ------------------------------------------------------------
    void CreateDialog(std::string_view title, int clientW, int clientH,
                      std::span<const ControlTemplate> controls) override;
    void SetTitle(std::string_view title) override { m_title = title; }
    std::string GetTitle() const override { return m_title; }
    std::string AppTitle() const override { return m_appTitle; }
    void EndDialog(int nResult) override { m_endResult = nResult; }
    void SetTimer(int nIdEvent, unsigned nElapseMs) override;
    void KillTimer(int nIdEvent) override;
    void PostMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override;
    int MessageBox(std::string_view text, std::string_view caption, MsgIcon icon) override;
    // Recorded with the boxes; m_answerBox answers it (kIdYes counts as yes,
    // anything else as no; without an answer function: no).
    int AskYesNo(std::string_view text, std::string_view caption, MsgIcon icon) override;
    int PopupMenu(std::span<const MenuItem> items) override;
    std::optional<std::string> OpenFileDialog(std::string_view filter) override;
    std::optional<std::string> PromptText(std::string_view caption, int maxChars, bool password,
                                          const PromptLayout& layout) override;
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
    std::string GetToolTip(int id) const;
    void SetProgressRange(int id, int nLow, int nHigh) override;
    void SetProgressPos(int id, int nPos) override;
    int GetProgressPos(int id) const override;
    std::pair<int, int> GetProgressRange(int id) const;
    void ScrollToEnd(int id) override;
    int ScrollCount(int id) const;
    void InsertTab(int id, int nIndex, std::string_view text) override;
    int GetCurSel(int id) const override;
    std::vector<std::string> TabTexts(int id) const;
    std::tm LocalTime() const override;
    bool HasControl(int id) const { return Find(id) != nullptr; }
    CtlKind KindOf(int id) const;

protected:
    void WakeUiThread() override;

private:
    struct Control {
        bool exists = false;  // false: never made, or forgotten by Reset (its memory kept)
        CtlKind kind = CtlKind::StaticText;
        std::uint32_t style = 0;
        int group = 0;  // radio group number (0: none)
        std::string text;
        std::string tip;
        int check = 0;
        bool visible = true;
        bool enabled = true;
        Rect rect;
        int progLow = 0, progHigh = 100, progPos = 0;
        int scrolls = 0;
        std::vector<std::string> tabs;
        int curSel = 0;
    };
    struct Timer {
        std::uint64_t due;
        unsigned period;
        std::uint64_t seq;  // order of starting, for ties
    };
    struct Posted {
        unsigned msg;
        std::uintptr_t wParam;
        std::intptr_t lParam;
    };
    Control& Ctl(int id);
    const Control* Find(int id) const;
    bool FireNextDue(std::uint64_t limit);

    std::string m_title;
    // Controls by id: ids 0..kFlatIds-1 (every id the console uses) in a
    // table, any other in a map.
    static constexpr int kFlatIds = 2048;
    std::vector<Control> m_controls;
    std::map<int, Control> m_farControls;
    std::map<int, Timer> m_timers;
    std::deque<Posted> m_posted;
    std::uint64_t m_now = 0;
    std::uint64_t m_seq = 0;
    std::function<std::uint64_t()> m_armClock;
    std::mutex m_wakeMx;
    std::condition_variable m_wakeCv;
    bool m_woken = false;
};

}  // namespace fw
