// SIGTERM, SIGHUP and SIGINT for the window: each ends it the way EXIT does
// (the dialog closes, the port is closed by its owner, the process leaves
// with status 128 + the signal).  The handler only writes the signal's number
// to a pipe; the event loop reads it and runs the stop on the user-interface
// thread, closing any message box or menu open at the time first.  A second
// signal of the same kind ends the process at once.
#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace fw {

class StopSignals final : public QObject {
public:
    // onStop runs once, on the user-interface thread, for the first signal.
    explicit StopSignals(std::function<void()> onStop, QObject* parent = nullptr);
    ~StopSignals() override;
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // False when the pipe or the handlers could not be set up.
    bool Installed() const { return m_notifier != nullptr; }
    // The signal that stopped the window, 0 while none came.
    int Caught() const { return m_signal; }
    // The exit status the shell sees for it: 128 + the signal (0: none).
    int ExitStatus() const { return m_signal ? 128 + m_signal : 0; }

private:
    void OnReadable();

    std::function<void()> m_onStop;
    QSocketNotifier* m_notifier = nullptr;
    int m_signal = 0;
};

}  // namespace fw
