// The Windows serial channel against a real module (or the simulator on a
// port Wine maps), step by step, each step one line "ok: ..." or "FAIL: ...":
// a STATUS exchange (ACK and answer), the reader's CPU while the port is idle,
// Close while the reader waits in its read, and, with --lost, the far end
// going away (told once) and coming back (opened again by Reopen, STATUS
// answered again).  Before the loss it prints "waiting for the loss" and
// waits; channel_wine.sh then ends the far end and starts a new one.
// With --stall, before the loss: the far end stops reading (channel_wine's
// SIGSTOP after "waiting for the stall"); what cannot leave within the write
// time-out is dropped, the queue stays bounded, the reader stays; the far end
// reads again ("stall over" after "waiting for the far end") and STATUS is
// answered.
// Usage: channel_check COMn [--stall] [--lost]   exit status 0 when every step passed
#include "framework/HeadlessHost.h"
#include "link/Comm.h"
#include "link/LinkFrame.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Recorder : fw::Window {
    CComm* comm = nullptr;
    std::vector<std::uint8_t> bytes;
    int lost = 0;
    void OnTimer(int) override {}
    std::intptr_t OnMessage(unsigned msg, std::uintptr_t, std::intptr_t) override {
        if (msg == WM_COMM_LOST) ++lost;
        if (msg == WM_COMM_DATA) bytes.insert(bytes.end(), comm->Chunk(), comm->Chunk() + comm->ChunkLength());
        return 1;
    }
    void OnCommand(int) override {}
    void OnTabSelChange() override {}
    void OnCancel() override {}
    void OnAbout() override {}
};

int g_failed = 0;
void Check(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) g_failed = 1;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A complete response frame in got from position from: SOH ... ETX BCC with
// the right code; its end, or 0.
std::size_t FrameEnd(const std::vector<std::uint8_t>& got, std::size_t from, std::uint8_t code) {
    if (got.size() < from + proto::kMinFrameWithCode || got[from] != proto::SOH) return 0;
    for (std::size_t i = from + 1; i + 1 < got.size(); ++i)
        if (got[i] == proto::ETX) {
            const bool good = got[from + 3] == code && proto::Xor(got.data() + from, i + 2 - from) == 0;
            return good ? i + 2 : 0;
        }
    return 0;
}

// STATUS: the ACK, then the answer, within a second and a half.
void Status(CComm& comm, fw::HeadlessHost& host, Recorder& rec, const char* when) {
    static const std::uint8_t kStatus[] = {proto::EOT, proto::HOST_ID, proto::STX, 'P', proto::ETX, 0x65};
    rec.bytes.clear();
    const auto t0 = Clock::now();
    comm.Write(kStatus, sizeof kStatus);
    double ackMs = -1;
    const bool answered = host.PumpUntil(
        [&] {
            if (ackMs < 0 && !rec.bytes.empty()) ackMs = Ms(Clock::now() - t0);
            return rec.bytes.size() > 1 && rec.bytes[0] == proto::ACK && FrameEnd(rec.bytes, 1, 'P') != 0;
        },
        std::chrono::milliseconds(1500));
    char line[160];
    std::snprintf(line, sizeof line, "STATUS %s: ACK and a %zu-byte answer (first byte after %.1f ms, all after %.1f ms)",
                  when, rec.bytes.size() > 0 ? rec.bytes.size() - 1 : 0, ackMs, Ms(Clock::now() - t0));
    Check(answered, line);
}

double ProcessCpuMs() {
    FILETIME c, e, k, u;
    ::GetProcessTimes(::GetCurrentProcess(), &c, &e, &k, &u);
    auto ms = [](const FILETIME& f) {
        return static_cast<double>((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e4;
    };
    return ms(k) + ms(u);
}

}  // namespace

int main(int argc, char** argv) {
    const int port = argc > 1 ? std::atoi(argv[1] + (std::strncmp(argv[1], "COM", 3) == 0 ? 3 : 0)) : 1;
    bool lost = false, stall = false;
    for (int i = 2; i < argc; ++i) {
        lost = lost || std::strcmp(argv[i], "--lost") == 0;
        stall = stall || std::strcmp(argv[i], "--stall") == 0;
    }
    fw::HeadlessHost host;
    Recorder rec;
    CComm comm;
    rec.comm = &comm;
    host.SetWindow(&rec);
    comm.SetNotifyWindow(&host);
    comm.InitOverlapped();
    std::printf("port: %s\n", comm.GetPortMap().PathFor(port).c_str());

    if (!comm.Open(static_cast<std::uint16_t>(port), 9600, 8, ONESTOPBIT, NOPARITY)) {
        Check(false, "open: " + DescribeOpenError(comm.LastOpenError()));
        return 1;
    }
    Check(CComm::LiveReaders() == 1, "open: one reader");
    Status(comm, host, rec, "after open");

    // Idle: the reader waits in its read; no message, no spinning.
    const double cpu0 = ProcessCpuMs();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double idlePct = 100.0 * (ProcessCpuMs() - cpu0) / Ms(Clock::now() - t0);
    char line[160];
    std::snprintf(line, sizeof line, "idle with the port open: %.2f %% of a core", idlePct);
    Check(idlePct < 2.0, line);

    // Close while the reader waits in its read.
    const auto c0 = Clock::now();
    comm.Close();
    const double closeMs = Ms(Clock::now() - c0);
    std::snprintf(line, sizeof line, "close while a read waits: %.1f ms, %d readers left", closeMs, CComm::LiveReaders());
    Check(closeMs < 1500 && CComm::LiveReaders() == 0 && !comm.IsOpen(), line);

    if (!comm.Open(static_cast<std::uint16_t>(port), 9600, 8, ONESTOPBIT, NOPARITY)) {
        Check(false, "open again: " + DescribeOpenError(comm.LastOpenError()));
        return 1;
    }
    Status(comm, host, rec, "after open again");

    if (stall) {
        std::printf("waiting for the stall\n");
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        // Noise bytes (no frame starts with 0x00), far more than the line and
        // its buffers take, for three write time-outs.
        const std::vector<std::uint8_t> noise(256, 0x00);
        std::size_t written = 0, maxUnsent = 0, stale = 0;
        const auto s0 = Clock::now();
        while (Clock::now() - s0 < std::chrono::seconds(3)) {
            comm.Write(noise.data(), static_cast<std::uint32_t>(noise.size()));
            written += noise.size();
            stale += comm.LastWrite().nStale;
            maxUnsent = std::max(maxUnsent, comm.UnsentBytes());
            host.PumpUntil([] { return false; }, std::chrono::milliseconds(2));
        }
        const std::uint64_t dropped = comm.DroppedBytes();
        std::snprintf(line, sizeof line,
                      "far end not reading: %zu bytes written, %llu dropped (%zu of them by the write time-out), "
                      "at most %zu unsent",
                      written, static_cast<unsigned long long>(dropped), stale, maxUnsent);
        Check(stale > 0 && maxUnsent <= 2 * CComm::kTxQueue && CComm::LiveReaders() == 1 && rec.lost == 0, line);
        std::printf("waiting for the far end\n");
        std::fflush(stdout);
        // The far end reads the noise away (unpaced) and is ready again.
        host.PumpUntil([] { return false; }, std::chrono::seconds(2));
        Status(comm, host, rec, "after the far end read again");
    }
    if (lost) {
        std::printf("waiting for the loss\n");
        std::fflush(stdout);
        const bool told = host.PumpUntil([&] { return rec.lost > 0; }, std::chrono::seconds(20));
        host.PumpUntil([] { return false; }, std::chrono::milliseconds(500));
        Check(told && rec.lost == 1, "far end gone: lost told " + std::to_string(rec.lost) + " time(s), reader error " +
                                         std::to_string(comm.ReaderError()) + " (" +
                                         SystemErrorText(comm.ReaderError()) + ")");
        comm.ReleaseLost();
        bool back = false;
        const auto r0 = Clock::now();
        for (int i = 0; i < 40 && !back; ++i) {
            back = comm.Reopen() != 0;
            if (!back) std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        Check(back && CComm::LiveReaders() == 1,
              "far end back: opened again by Reopen after " + std::to_string(static_cast<int>(Ms(Clock::now() - r0))) +
                  " ms" + (back ? "" : ": " + DescribeOpenError(comm.LastOpenError())));
        if (back) Status(comm, host, rec, "after the port came back");
    }
    comm.Close();
    Check(CComm::LiveReaders() == 0, "closed: no reader left");
    return g_failed;
}
