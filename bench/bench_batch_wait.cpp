// The delay from the decoding of an answer to the next send of a batch,
// against the Wait time, on a real pseudo-terminal against the simulator.
//
// The headless host's clock is virtual; the real-time driver that zantu-cli
// runs the console with moves it on with the real clock, so the repeat timer
// (armed inside the reader's hand-over of the answer) fires in real time.
// The writer in front of the channel stamps each write: the console's ACK of
// an answer is written right before the answer is decoded, so
// delay = (next host frame) - (ACK of the answer).  Goal: median error within
// 2 ms, worst within 10 ms.
//
// Usage: bench_batch_wait [repeats]   (default 31 sends, Wait 1)
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "framework/RealTimeDriver.h"
#include "link/LinkFrame.h"
#include "OpenOnSimulator.h"
#include "Simulator.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct StampingWriter : CByteWriter {
    CByteWriter* next = nullptr;
    std::vector<Clock::time_point> acks, frames;
    int Write(const std::uint8_t* p, std::uint32_t n) override {
        const auto t = Clock::now();
        if (n == 1 && p[0] == proto::ACK) acks.push_back(t);
        if (n > 1 && p[0] == proto::EOT) frames.push_back(t);
        return next->Write(p, n);
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(2, std::atoi(argv[1])) : 31;
    zsim::Simulator sim;
    fw::HeadlessHost host;
    CConsoleDlg dlg(host);
    if (const std::string why = OpenOnSimulator(dlg, sim); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    StampingWriter w;
    w.next = &dlg.m_Comm;
    dlg.m_pWriter = &w;

    fw::RealTimeDriver driver(host);
    host.SelectTab(ids::kTab, 1);
    host.Type(1035, "1");
    host.Type(ids::kRepeat, std::to_string(repeats));
    host.Type(ids::kWait, "1");
    host.Click(1001);
    driver.RunUntil([&] { return !dlg.m_bBusy; }, std::chrono::seconds(repeats * 2 + 10));
    dlg.m_Comm.Close();
    sim.Stop();

    std::vector<double> err;  // ms, delay minus the 1000 ms Wait
    for (std::size_t k = 0; k + 1 < w.frames.size() && k < w.acks.size(); ++k) {
        const double d =
            std::chrono::duration<double, std::milli>(w.frames[k + 1] - w.acks[k]).count();
        err.push_back(d - 1000.0);
    }
    if (err.empty() || dlg.m_bBusy) {
        std::fprintf(stderr, "batch did not complete (%zu frames)\n", w.frames.size());
        return 1;
    }
    std::vector<double> sorted = err;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2];
    const double worst = std::max(std::abs(sorted.front()), std::abs(sorted.back()));
    std::printf("sends %zu, waits %zu (Wait 1 s)\n", w.frames.size(), err.size());
    std::printf("delay - Wait: median %.3f ms, min %.3f ms, max %.3f ms, worst |error| %.3f ms\n",
                median, sorted.front(), sorted.back(), worst);
    return 0;
}
