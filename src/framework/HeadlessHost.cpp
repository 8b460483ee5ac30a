#include "framework/HeadlessHost.h"

#include <algorithm>
#include <thread>

namespace fw {

HeadlessHost::HeadlessHost() {
    m_localTime.tm_year = 107;  // 5 March 2007, 14:07:09 unless a test says otherwise
    m_localTime.tm_mon = 2;
    m_localTime.tm_mday = 5;
    m_localTime.tm_hour = 14;
    m_localTime.tm_min = 7;
    m_localTime.tm_sec = 9;
}

HeadlessHost::~HeadlessHost() = default;

void HeadlessHost::CreateDialog(std::string_view title, int, int,
                                std::span<const ControlTemplate> controls) {
    m_title = title;
    int group = 0;
    for (const auto& t : controls) {
        Control c;
        c.kind = t.kind;
        c.style = t.style;
        c.text = t.caption ? t.caption : "";
        c.rect = t.rect;
        c.visible = (t.style & kStyleHidden) == 0;
        c.enabled = (t.style & kStyleDisabled) == 0;
        if (t.kind == CtlKind::Radio) {
            if ((t.style & kStyleGroupStart) || group == 0) ++group;
            c.group = group;
        } else if (t.style & kStyleGroupStart) {
            ++group;
        }
        c.exists = true;
        Ctl(t.id) = std::move(c);
    }
}

HeadlessHost::Control& HeadlessHost::Ctl(int id) {
    Control* pc = nullptr;
    if (id >= 0 && id < kFlatIds) {
        const auto i = static_cast<std::size_t>(id);
        if (i >= m_controls.size()) m_controls.resize(std::max<std::size_t>(i + 1, 1200));
        pc = &m_controls[i];
    } else {
        pc = &m_farControls[id];
    }
    Control& c = *pc;
    if (!c.exists) {
        // A control forgotten by Reset comes back as a new one; its strings
        // keep their capacity.
        c.exists = true;
        c.kind = CtlKind::StaticText;
        c.style = 0;
        c.group = 0;
        c.text.clear();
        c.tip.clear();
        c.check = 0;
        c.visible = c.enabled = true;
        c.rect = Rect{};
        c.progLow = 0;
        c.progHigh = 100;
        c.progPos = 0;
        c.scrolls = 0;
        c.tabs.clear();
        c.curSel = 0;
    }
    return c;
}

const HeadlessHost::Control* HeadlessHost::Find(int id) const {
    const Control* c = nullptr;
    if (id >= 0 && id < kFlatIds) {
        if (static_cast<std::size_t>(id) < m_controls.size()) c = &m_controls[static_cast<std::size_t>(id)];
    } else if (auto it = m_farControls.find(id); it != m_farControls.end()) {
        c = &it->second;
    }
    return c && c->exists ? c : nullptr;
}

void HeadlessHost::Reset() {
    for (Control& c : m_controls) c.exists = false;
    for (auto& [id, c] : m_farControls) c.exists = false;
    m_timers.clear();
    m_posted.clear();
    m_now = 0;
    m_seq = 0;
    m_title.clear();
    m_boxes.clear();
    m_prompts.clear();
    m_endResult.reset();
    m_pWnd = nullptr;
}

CtlKind HeadlessHost::KindOf(int id) const {
    const Control* c = Find(id);
    return c ? c->kind : CtlKind::StaticText;
}

void HeadlessHost::SetTimer(int nIdEvent, unsigned nElapseMs) {
    m_timers[nIdEvent] = Timer{m_now + nElapseMs, nElapseMs, m_seq++};
}

void HeadlessHost::KillTimer(int nIdEvent) { m_timers.erase(nIdEvent); }

bool HeadlessHost::IsTimerRunning(int id) const { return m_timers.count(id) != 0; }

std::optional<std::uint64_t> HeadlessHost::TimerDue(int id) const {
    auto it = m_timers.find(id);
    if (it == m_timers.end()) return std::nullopt;
    return it->second.due;
}

std::optional<unsigned> HeadlessHost::TimerPeriod(int id) const {
    auto it = m_timers.find(id);
    if (it == m_timers.end()) return std::nullopt;
    return it->second.period;
}

std::optional<std::uint64_t> HeadlessHost::NextDue() const {
    std::optional<std::uint64_t> next;
    for (const auto& [id, t] : m_timers)
        if (!next || t.due < *next) next = t.due;
    return next;
}

void HeadlessHost::PostMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
    m_posted.push_back(Posted{msg, wParam, lParam});
}

void HeadlessHost::WakeUiThread() {
    {
        std::lock_guard lk(m_wakeMx);
        m_woken = true;
    }
    m_wakeCv.notify_all();
}

void HeadlessHost::Pump() {
    for (;;) {
        DrainCrossThread();
        if (m_posted.empty()) {
            if (!HasCrossThreadWork()) return;
            continue;
        }
        Posted p = m_posted.front();
        m_posted.pop_front();
        if (m_pWnd) m_pWnd->OnMessage(p.msg, p.wParam, p.lParam);
    }
}

bool HeadlessHost::PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds realLimit) {
    auto deadline = std::chrono::steady_clock::now() + realLimit;
    for (;;) {
        Pump();
        if (pred()) return true;
        std::unique_lock lk(m_wakeMx);
        if (!m_wakeCv.wait_until(lk, deadline, [&] { return m_woken; })) {
            lk.unlock();
            Pump();
            return pred();
        }
        m_woken = false;
    }
}

bool HeadlessHost::WaitForCrossThreadRequest(std::chrono::milliseconds realLimit) {
    const auto deadline = std::chrono::steady_clock::now() + realLimit;
    std::unique_lock lk(m_wakeMx);
    for (;;) {
        lk.unlock();
        if (HasCrossThreadWork()) return true;
        lk.lock();
        if (!m_wakeCv.wait_until(lk, deadline, [&] { return m_woken; })) {
            lk.unlock();
            return HasCrossThreadWork();
        }
        m_woken = false;
    }
}

bool HeadlessHost::FireNextDue(std::uint64_t limit) {
    const Timer* best = nullptr;
    int bestId = 0;
    for (const auto& [id, t] : m_timers) {
        if (t.due > limit) continue;
        if (!best || t.due < best->due || (t.due == best->due && t.seq < best->seq)) {
            best = &t;
            bestId = id;
        }
    }
    if (!best) return false;
    m_now = best->due;
    // Periodic: re-armed for the next period
    // unless the handler kills or restarts it.
    Timer& t = m_timers[bestId];
    t.due = m_now + (t.period ? t.period : 1);
    t.seq = m_seq++;
    if (m_pWnd) m_pWnd->OnTimer(bestId);
    return true;
}

void HeadlessHost::Advance(std::uint64_t ms) {
    const std::uint64_t target = m_now + ms;
    Pump();
    while (FireNextDue(target)) Pump();
    if (m_now < target) m_now = target;
    Pump();
}

int HeadlessHost::MessageBox(std::string_view text, std::string_view caption, MsgIcon icon) {
    m_boxes.push_back(MessageBoxRecord{std::string(text), std::string(caption), icon});
    MessageBoxRecord rec = m_boxes.back();
    if (m_answerBox) return m_answerBox(rec);
    return kIdOk;
}

int HeadlessHost::AskYesNo(std::string_view text, std::string_view caption, MsgIcon icon) {
    m_boxes.push_back(MessageBoxRecord{std::string(text), std::string(caption), icon, true});
    MessageBoxRecord rec = m_boxes.back();
    if (m_answerBox && m_answerBox(rec) == kIdYes) return kIdYes;
    return kIdNo;
}

int HeadlessHost::PopupMenu(std::span<const MenuItem> items) {
    m_menus.emplace_back(items.begin(), items.end());
    const int n = m_answerMenu ? m_answerMenu(m_menus.back()) : -1;
    if (n < 0 || n >= static_cast<int>(items.size())) return -1;
    const MenuItem& it = items[static_cast<std::size_t>(n)];
    return it.enabled && !it.separator ? n : -1;
}

bool HeadlessHost::RightClick(int id) {
    const bool own = m_pWnd && IsControlVisible(id) && m_pWnd->OnContextMenu(id);
    Pump();
    return own;
}

std::optional<std::string> HeadlessHost::OpenFileDialog(std::string_view filter) {
    if (m_answerFile) return m_answerFile(filter);
    return std::nullopt;
}

std::optional<std::string> HeadlessHost::PromptText(std::string_view caption, int maxChars, bool,
                                                    const PromptLayout&) {
    m_prompts.emplace_back(caption);
    if (!m_answerPrompt) return std::nullopt;
    auto r = m_answerPrompt(caption);
    if (r && maxChars >= 0 && r->size() > static_cast<std::size_t>(maxChars)) r->resize(maxChars);
    return r;
}

void HeadlessHost::ShowControl(int id, bool bShow) { Ctl(id).visible = bShow; }
bool HeadlessHost::IsControlVisible(int id) const {
    const Control* c = Find(id);
    return c && c->visible;
}
void HeadlessHost::EnableControl(int id, bool bEnable) { Ctl(id).enabled = bEnable; }
bool HeadlessHost::IsControlEnabled(int id) const {
    const Control* c = Find(id);
    return c && c->enabled;
}
void HeadlessHost::SetControlText(int id, std::string_view text) {
    Control& c = Ctl(id);
    if (c.text != text) c.text = text;
}
std::string HeadlessHost::GetControlText(int id) const {
    const Control* c = Find(id);
    return c ? c->text : std::string();
}
void HeadlessHost::SetCheck(int id, int nCheck) { Ctl(id).check = nCheck; }
int HeadlessHost::GetCheck(int id) const {
    const Control* c = Find(id);
    return c ? c->check : 0;
}
void HeadlessHost::MoveControl(int id, Rect r) { Ctl(id).rect = r; }
Rect HeadlessHost::GetControlRect(int id) const {
    const Control* c = Find(id);
    return c ? c->rect : Rect{};
}
void HeadlessHost::SetToolTip(int id, std::string_view text) { Ctl(id).tip = text; }
std::string HeadlessHost::GetToolTip(int id) const {
    const Control* c = Find(id);
    return c ? c->tip : std::string();
}
void HeadlessHost::SetProgressRange(int id, int nLow, int nHigh) {
    Ctl(id).progLow = nLow;
    Ctl(id).progHigh = nHigh;
}
void HeadlessHost::SetProgressPos(int id, int nPos) { Ctl(id).progPos = nPos; }
int HeadlessHost::GetProgressPos(int id) const {
    const Control* c = Find(id);
    return c ? c->progPos : 0;
}
std::pair<int, int> HeadlessHost::GetProgressRange(int id) const {
    const Control* c = Find(id);
    return c ? std::pair{c->progLow, c->progHigh} : std::pair{0, 0};
}
void HeadlessHost::ScrollToEnd(int id) { ++Ctl(id).scrolls; }
int HeadlessHost::ScrollCount(int id) const {
    const Control* c = Find(id);
    return c ? c->scrolls : 0;
}
void HeadlessHost::InsertTab(int id, int nIndex, std::string_view text) {
    auto& tabs = Ctl(id).tabs;
    if (nIndex < 0 || static_cast<std::size_t>(nIndex) > tabs.size()) nIndex = static_cast<int>(tabs.size());
    tabs.insert(tabs.begin() + nIndex, std::string(text));
}
int HeadlessHost::GetCurSel(int id) const {
    const Control* c = Find(id);
    return c ? c->curSel : -1;
}
std::vector<std::string> HeadlessHost::TabTexts(int id) const {
    const Control* c = Find(id);
    return c ? c->tabs : std::vector<std::string>{};
}

std::tm HeadlessHost::LocalTime() const {
    if (m_useRealLocalTime) return Host::LocalTime();
    return m_localTime;
}

bool HeadlessHost::Click(int id) {
    const Control* c = Find(id);
    if (!c || !c->visible || !c->enabled) return false;
    if (c->kind == CtlKind::Radio) {
        const int g = c->group;
        auto clear = [g](Control& oc) {
            if (oc.exists && oc.kind == CtlKind::Radio && oc.group == g) oc.check = 0;
        };
        for (Control& oc : m_controls) clear(oc);
        for (auto& [oid, oc] : m_farControls) clear(oc);
        Ctl(id).check = 1;
    } else if (c->kind == CtlKind::CheckBox) {
        Ctl(id).check = c->check ? 0 : 1;
    }
    if (m_pWnd) m_pWnd->OnCommand(id);
    Pump();
    return true;
}

void HeadlessHost::Type(int id, std::string_view text) { Ctl(id).text = text; }

void HeadlessHost::SelectTab(int id, int nIndex) {
    Ctl(id).curSel = nIndex;
    if (m_pWnd) m_pWnd->OnTabSelChange();
    Pump();
}

}  // namespace fw
