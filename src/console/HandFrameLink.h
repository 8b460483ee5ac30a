// What the frame tool needs of the console: the whole frame a body makes,
// the hand-built press, and its events.  The dialog's own (DialogHandLink)
// is the one front-ends use; a test may put another in its place.
#pragma once

#include "console/ConsoleEvents.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

class CConsoleDlg;

class HandFrameLink {
public:
    struct Result {
        bool sent = false;
        std::string reason;  // why it was refused, or what went first
    };
    virtual ~HandFrameLink() = default;
    virtual std::vector<std::uint8_t> FrameOf(std::span<const std::uint8_t> body) const = 0;
    virtual Result Send(std::span<const std::uint8_t> body) = 0;
    virtual bool Listen(ev::ConsoleObserver* o) = 0;
    virtual void Unlisten(ev::ConsoleObserver* o) = 0;
};

class DialogHandLink final : public HandFrameLink {
public:
    explicit DialogHandLink(CConsoleDlg& dlg) : m_dlg(dlg) {}
    std::vector<std::uint8_t> FrameOf(std::span<const std::uint8_t> body) const override;
    Result Send(std::span<const std::uint8_t> body) override;
    bool Listen(ev::ConsoleObserver* o) override;
    void Unlisten(ev::ConsoleObserver* o) override;

private:
    CConsoleDlg& m_dlg;
};
