#include "framework/qt/StopSignals.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QWidget>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace fw {

namespace {

int g_pipe[2] = {-1, -1};  // [0] read by the event loop, [1] written by the handler

extern "C" void OnStopSignal(int sig) {
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t r = ::write(g_pipe[1], &b, 1);
    errno = saved;
}

constexpr std::array<int, 3> kSignals{SIGTERM, SIGHUP, SIGINT};

}  // namespace

StopSignals::StopSignals(std::function<void()> onStop, QObject* parent)
    : QObject(parent), m_onStop(std::move(onStop)) {
    if (g_pipe[0] < 0 && ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART | SA_RESETHAND;  // a second one takes the default way
    for (int sig : kSignals)
        if (::sigaction(sig, &sa, nullptr) != 0) return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { OnReadable(); });
}

StopSignals::~StopSignals() {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int sig : kSignals) ::sigaction(sig, &sa, nullptr);
}

void StopSignals::OnReadable() {
    unsigned char b = 0;
    while (::read(g_pipe[0], &b, 1) == 1)
        if (m_signal == 0) m_signal = b;
    if (m_signal == 0 || !m_onStop) return;
    // Boxes and menus open now run loops of their own: they go first, so the
    // dialog's loop can end.
    while (QWidget* w = QApplication::activePopupWidget()) w->close();
    if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget()); d && d->parent())
        d->reject();  // a box over the console's dialog (which has no parent)
    auto stop = std::move(m_onStop);
    m_onStop = nullptr;
    stop();
}

}  // namespace fw
