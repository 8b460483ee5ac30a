// Round trip of one host frame over a pseudo-terminal through the serial
// channel: the frame is written through CComm, a thread playing the module on
// the master side answers ACK and a 30-byte response frame, and the reader
// hands the bytes over to a headless window that the benchmark loop pumps.
#include "framework/HeadlessHost.h"
#include "link/Comm.h"

#include <benchmark/benchmark.h>

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

struct Counter : fw::Window {
    CComm* comm = nullptr;
    std::size_t received = 0;
    void OnTimer(int) override {}
    std::intptr_t OnMessage(unsigned msg, std::uintptr_t, std::intptr_t) override {
        if (msg == WM_COMM_DATA) received += comm->ChunkLength();
        return 1;
    }
    void OnCommand(int) override {}
    void OnTabSelChange() override {}
    void OnCancel() override {}
    void OnAbout() override {}
};

constexpr std::uint8_t kFrame[] = {0x04, 0x30, 0x02, 0x50, 0x03, 0x65};
constexpr std::size_t kAnswer = 1 + 30;  // ACK + response frame

void BM_CommRoundTrip(benchmark::State& state) {
    int master = -1, slave = -1;
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        state.SkipWithError("openpty failed");
        return;
    }
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    ::close(slave);

    fw::HeadlessHost host;
    Counter win;
    CComm comm;
    win.comm = &comm;
    host.SetWindow(&win);
    comm.SetNotifyWindow(&host);
    comm.InitOverlapped();
    PortMap map;
    map.Set(1, name);
    comm.SetPortMap(map);
    if (!comm.Open(1, 9600, 8, 0, 0)) {
        state.SkipWithError("open failed");
        ::close(master);
        return;
    }

    std::atomic<bool> stop{false};
    std::thread module([&] {
        std::uint8_t answer[kAnswer];
        answer[0] = 0x06;
        answer[1] = 0x01;
        for (std::size_t i = 2; i < kAnswer; ++i) answer[i] = 0x30;
        answer[kAnswer - 2] = 0x03;
        std::uint8_t in[64];
        std::size_t got = 0;
        while (!stop.load()) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t r = ::read(master, in, sizeof in);
            if (r <= 0) continue;
            got += static_cast<std::size_t>(r);
            while (got >= sizeof kFrame) {
                got -= sizeof kFrame;
                [[maybe_unused]] auto w = ::write(master, answer, sizeof answer);
            }
        }
    });

    for (auto _ : state) {
        const std::size_t target = win.received + kAnswer;
        comm.Write(kFrame, sizeof kFrame);
        if (!host.PumpUntil([&] { return win.received >= target; }, std::chrono::milliseconds(2000))) {
            state.SkipWithError("no answer");
            break;
        }
    }
    stop = true;
    module.join();
    comm.Close();
    ::close(master);
}
BENCHMARK(BM_CommRoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
