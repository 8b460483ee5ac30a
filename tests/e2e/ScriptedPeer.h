// A far end on a pseudo-terminal that speaks the module's frames from a
// script: for each host frame it receives, the script says what to write
// back and after how long (ACKs, answers, repeated or late answers, nothing).
// It is not the simulator: it does only what the script says, so a test can
// play the exact sequence a faulty line or module produced.
#pragma once

#include "Pty.h"
#include "link/LinkFrame.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class ScriptedPeer {
public:
    using Bytes = std::vector<std::uint8_t>;
    using Clock = std::chrono::steady_clock;
    struct Step {
        int afterMs;  // after the frame came
        Bytes bytes;
    };
    // frame: EOT through BCC; index: host frames received before it.
    using Script = std::function<std::vector<Step>(const Bytes& frame, int index)>;

    explicit ScriptedPeer(Script script) : m_script(std::move(script)) {
        if (!m_pty.slave.empty()) m_thread = std::jthread([this](std::stop_token st) { Run(st); });
    }
    ~ScriptedPeer() {
        if (m_thread.joinable()) {
            m_thread.request_stop();
            m_thread.join();
        }
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    const std::string& Path() const { return m_pty.slave; }
    std::vector<Bytes> Frames() const {
        std::lock_guard lock(m_mutex);
        return m_frames;
    }

    // SOH '0' '0' code error data... ETX BCC.
    static Bytes Answer(std::uint8_t code, std::uint8_t error, const Bytes& data = {}) {
        Bytes f{proto::SOH, '0', '0', code, error};
        f.insert(f.end(), data.begin(), data.end());
        f.push_back(proto::ETX);
        f.push_back(proto::Xor(f.data(), f.size()));
        return f;
    }
    // A dispense-type answer: box 1 dispensed d and rejected r, the other boxes nothing.
    static Bytes DispenseAnswer(int d, int r, std::uint8_t code = 'R') {
        Bytes data{' '};
        for (int box = 0; box < 4; ++box)
            data.insert(data.end(), {proto::CountByte(box == 0 ? d : 0), proto::CountByte(box == 0 ? r : 0), ' '});
        data.insert(data.end(), 7, proto::CountByte(0));
        if (r > 0) data[1 + 12 + 2] = proto::CountByte(r);  // the rejects' reason: LEN
        return Answer(code, ' ', data);
    }
    static Bytes Ack() { return {proto::ACK}; }
    static Bytes Cat(std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    }

private:
    void Run(const std::stop_token& st) {
        struct Due {
            Clock::time_point at;
            Bytes bytes;
        };
        std::vector<Due> due;
        Bytes frame;
        bool inFrame = false, bcc = false;
        int index = 0;
        while (!st.stop_requested()) {
            pollfd p{m_pty.master, POLLIN, 0};
            if (::poll(&p, 1, 5) > 0 && (p.revents & POLLIN)) {
                std::uint8_t buf[512];
                const ssize_t n = ::read(m_pty.master, buf, sizeof buf);
                for (ssize_t i = 0; i < n; ++i) {
                    const std::uint8_t b = buf[i];
                    if (!inFrame) {
                        if (b != proto::EOT) continue;  // the console's ACK and NAK
                        inFrame = true;
                        bcc = false;
                        frame.assign(1, b);
                        continue;
                    }
                    frame.push_back(b);
                    if (bcc) {
                        inFrame = false;
                        {
                            std::lock_guard lock(m_mutex);
                            m_frames.push_back(frame);
                        }
                        const auto now = Clock::now();
                        for (Step& s : m_script(frame, index++))
                            due.push_back({now + std::chrono::milliseconds(s.afterMs), std::move(s.bytes)});
                    } else if (b == proto::ETX) {
                        bcc = true;
                    }
                }
            } else if (p.revents & (POLLHUP | POLLERR)) {
                // No one has the port open: wait for the next open.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            const auto now = Clock::now();
            for (auto it = due.begin(); it != due.end();) {
                if (it->at <= now) {
                    [[maybe_unused]] const ssize_t w = ::write(m_pty.master, it->bytes.data(), it->bytes.size());
                    it = due.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }

    Pty m_pty;
    Script m_script;
    mutable std::mutex m_mutex;
    std::vector<Bytes> m_frames;
    std::jthread m_thread;
};
