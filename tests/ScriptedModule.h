// A module played by the test itself on the far end of a pseudo-terminal:
// each host frame the console writes is answered by a rule the test gives
// (by default the module's ACK and a plain answer of the frame's code), so a
// test decides exactly which bytes come and when.  Nothing runs on a thread
// of its own: the test calls Service() from the loop that pumps the console,
// and Send() whenever it wants bytes on the line.
#pragma once

#include "Pty.h"
#include "link/LinkFrame.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <vector>

class ScriptedModule {
public:
    using Bytes = std::vector<std::uint8_t>;

    ScriptedModule() {
        if (m_pty.master >= 0) ::fcntl(m_pty.master, F_SETFL, ::fcntl(m_pty.master, F_GETFL) | O_NONBLOCK);
    }
    // The path the console opens ("" when no pseudo-terminal could be made).
    const std::string& Path() const { return m_pty.slave; }

    // How the n-th host frame (from 0) is answered; empty: Standard.
    std::function<Bytes(const Bytes& frame, std::size_t n)> reply;

    // Reads what the console wrote and answers every host frame completed;
    // waits up to waitMs for the first byte.
    void Service(int waitMs = 0) {
        if (waitMs > 0) {
            pollfd p{m_pty.master, POLLIN, 0};
            ::poll(&p, 1, waitMs);
        }
        std::uint8_t buf[512];
        for (;;) {
            const ssize_t r = ::read(m_pty.master, buf, sizeof buf);
            if (r <= 0) return;
            for (ssize_t i = 0; i < r; ++i) Take(buf[i]);
        }
    }
    void Send(const Bytes& b) {
        std::size_t done = 0;
        while (done < b.size()) {
            const ssize_t w = ::write(m_pty.master, b.data() + done, b.size() - done);
            if (w > 0) done += static_cast<std::size_t>(w);
        }
    }

    // Host frames received so far, and how many carried code.
    const std::vector<Bytes>& Frames() const { return m_frames; }
    std::size_t Count(std::uint8_t code) const {
        std::size_t n = 0;
        for (const Bytes& f : m_frames) n += f.size() > 3 && f[3] == code;
        return n;
    }

    // A response frame: SOH '0' '0' code error data... ETX BCC.
    static Bytes Response(std::uint8_t code, std::uint8_t err, const Bytes& data = {}) {
        Bytes f{proto::SOH, '0', '0', code, err};
        f.insert(f.end(), data.begin(), data.end());
        f.push_back(proto::ETX);
        f.push_back(proto::Xor(f.data(), f.size()));
        return f;
    }
    // The answer a sound module gives: a dispense-type frame dispenses every
    // note asked for, STATUS reports every sensor clear, anything else says
    // no error.
    static Bytes Answer(const Bytes& f) {
        const std::uint8_t code = f[3];
        if ((code == 'R' || code == 'S' || code == 'p') && f.size() >= 10) {
            Bytes d{' '};
            for (int box = 0; box < 4; ++box) d.insert(d.end(), {f[4 + static_cast<std::size_t>(box)], 0x20, ' '});
            d.insert(d.end(), 7, ' ');
            return Response(code, ' ', d);
        }
        if (code == 'P') return Response(code, ' ', Bytes(40, '0'));
        return Response(code, ' ');
    }
    static Bytes Standard(const Bytes& f) {
        Bytes out{proto::ACK};
        const Bytes a = Answer(f);
        out.insert(out.end(), a.begin(), a.end());
        return out;
    }
    // An unasked STATUS frame carrying device error 01 ("PickUp Error").
    static Bytes UnaskedStatusError() { return Response('P', '!', Bytes(40, '0')); }

private:
    void Take(std::uint8_t b) {
        if (m_cur.empty() && b != proto::EOT) return;  // the console's ACK and NAK
        m_cur.push_back(b);
        const std::size_t n = m_cur.size();
        if (n < 2 || m_cur[n - 2] != proto::ETX) return;
        m_frames.push_back(m_cur);
        m_cur.clear();
        const Bytes& f = m_frames.back();
        const Bytes out = reply ? reply(f, m_frames.size() - 1) : Standard(f);
        if (!out.empty()) Send(out);
    }

    Pty m_pty;
    Bytes m_cur;
    std::vector<Bytes> m_frames;
};
