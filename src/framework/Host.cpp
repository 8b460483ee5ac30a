#include "framework/Host.h"

namespace fw {

Host::Host() = default;
Host::~Host() = default;

bool Host::SendMessageFromThread(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam,
                                 std::stop_token st) {
    auto req = std::make_shared<Request>(Request{msg, wParam, lParam});
    {
        std::lock_guard lk(m_mx);
        if (st.stop_requested()) return false;
        m_requests.push_back(req);
    }
    WakeUiThread();
    std::unique_lock lk(m_mx);
    m_cv.wait(lk, st, [&] { return req->bDone; });
    if (req->bDone) return true;
    // Stopped before the handler finished: whatever has not started is dropped.
    req->bAbandoned = true;
    return false;
}

bool Host::HasCrossThreadWork() {
    std::lock_guard lk(m_mx);
    return !m_requests.empty();
}

void Host::DrainCrossThread() {
    for (;;) {
        std::shared_ptr<Request> req;
        {
            std::lock_guard lk(m_mx);
            if (m_requests.empty()) return;
            req = m_requests.front();
            m_requests.pop_front();
            if (req->bAbandoned) continue;
        }
        if (m_pWnd) m_pWnd->OnMessage(req->msg, req->wParam, req->lParam);
        {
            std::lock_guard lk(m_mx);
            req->bDone = true;
        }
        m_cv.notify_all();
    }
}

std::tm Host::LocalTime() const {
    std::time_t t = std::time(nullptr);
    std::tm tmv{};
    localtime_r(&t, &tmv);
    return tmv;
}

}  // namespace fw
