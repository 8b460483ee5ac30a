// zantu-soak: the console core with its real serial channel against the
// simulated module on a pseudo-terminal, the module meeting random faults,
// driven by a random operator for a given number of exchanges while every
// invariant is checked after every event.
//
// The module answers at once (no pacing).  The headless host's clock is
// virtual and is moved on only when nothing is in flight: every byte the
// console wrote has reached the module, every byte the module wrote has been
// handled by the console and the module has nothing queued.  Then the clock
// jumps to the next timer's expiry (or to the moment the console must no
// longer be busy), so hours of time-outs and batch waits pass in moments.
//
// Usage: zantu-soak [--exchanges N] [--seed S] [--fault-rate R] [--quiet]
// Ends with the fault table and "soak: N exchanges, F faults injected,
// V violations"; exits 0 only when V is 0.
#include "Invariants.h"
#include "Simulator.h"
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kPassword = "rinq";
constexpr auto kStallLimit = 1s;  // real time with bytes in flight before the soak stops waiting for them

// A random image and its Intel HEX file (16-byte data records, then the end record).
Bytes WriteHex(const std::string& path, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes image(kImageSize);
    for (auto& b : image) b = static_cast<std::uint8_t>(rng());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return {};
    for (int addr = 0; addr < kImageSize; addr += 16) {
        unsigned sum = 16 + static_cast<unsigned>(addr >> 8) + static_cast<unsigned>(addr & 0xFF);
        std::fprintf(f, ":10%04X00", static_cast<unsigned>(addr));
        for (int i = 0; i < 16; ++i) {
            sum += image[static_cast<std::size_t>(addr + i)];
            std::fprintf(f, "%02X", image[static_cast<std::size_t>(addr + i)]);
        }
        std::fprintf(f, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    }
    std::fputs(":00000001FF\n", f);
    return std::fclose(f) == 0 ? image : Bytes{};
}

struct Options {
    std::uint64_t exchanges = 100000;
    std::uint32_t seed = 1;
    double faultRate = 0.05;
    bool quiet = false;
};

class Soak {
public:
    explicit Soak(const Options& o) : m_opt(o), m_rng(o.seed * 2654435761u + 1) {}
    ~Soak() {
        m_tap.reset();
        m_dlg.m_Comm.Close();
        if (m_sim) m_sim->Stop();
        std::error_code ec;
        std::filesystem::current_path(m_oldDir, ec);
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
    }

    // "" when ready, else why not.
    std::string SetUp() {
        m_oldDir = std::filesystem::current_path();
        std::string tmpl = (std::filesystem::temp_directory_path() / "zantu_soak_XXXXXX").string();
        if (!mkdtemp(tmpl.data())) return "cannot make a work folder";
        m_dir = tmpl;
        std::filesystem::current_path(m_dir);
        for (int i = 0; i < 2; ++i) {
            m_hex[i] = (m_dir / ("image" + std::to_string(i) + ".hex")).string();
            m_images[i] = WriteHex(m_hex[i], m_opt.seed * 7 + static_cast<std::uint32_t>(i));
            if (m_images[i].empty()) return "cannot write " + m_hex[i];
        }

        zsim::SimOptions so;
        so.pace = false;
        so.module.seed = m_opt.seed;
        so.module.faultRate = m_opt.faultRate;
        so.module.notesPerBox = 1000000;
        so.module.rejectCapacity = 1 << 30;
        so.module.rejectRate = 0.02;
        so.module.logFrames = 2;
        so.module.logSize = 80;
        m_sim = std::make_unique<zsim::Simulator>(so);
        const std::string path = m_sim->StartOnPty();
        if (path.empty()) return "no pseudo-terminal: " + m_sim->LastError();
        m_dlg.Create();
        PortMap map;
        map.Set(1, path);
        m_dlg.m_Comm.SetPortMap(map);
        m_dlg.OnOpen();
        if (!m_dlg.m_bLinked) return "OPEN failed: " + m_dlg.m_strStatus;

        m_checker.SetLogFolder(m_dir.string());
        m_tap = std::make_unique<inv::ConsoleTap>(m_dlg, m_host, m_checker);
        m_host.m_answerBox = [this](const fw::MessageBoxRecord& r) {
            ++m_boxes[r.text.substr(0, 40)];
            if (r.text == "Downloading Done!") {
                ++m_downloadsDone;
                m_doneShown = true;
            }
            return fw::kIdOk;
        };
        m_host.m_answerPrompt = [](std::string_view) { return std::optional<std::string>(kPassword); };
        m_host.m_answerFile = [this](std::string_view) {
            m_imageChosen = m_nextImage;
            return std::optional<std::string>(m_hex[m_imageChosen]);
        };
        return {};
    }

    int Run() {
        const auto t0 = Clock::now();
        std::uint64_t nextReport = 20000;
        while (m_checker.HostFramesWritten() < m_opt.exchanges && !m_stuck) {
            Operate();
            if (!m_opt.quiet && m_checker.HostFramesWritten() >= nextReport) {
                std::fprintf(stderr, "soak: %llu exchanges, %zu violations so far\n",
                             static_cast<unsigned long long>(m_checker.HostFramesWritten()),
                             m_checker.ViolationCount());
                nextReport += 20000;
            }
        }
        if (!m_stuck) Settle([this] { return Idle(); });
        m_checker.CheckLogFile(m_host.Now());
        const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        return Report(secs);
    }

private:
    // ---- the world moving on ---------------------------------------------------

    bool Quiet() const {
        const zsim::Simulator::LineCounts c = m_sim->Counts();
        return c.queued == 0 && c.bytesIn + m_inSkew == m_tap->BytesWritten() &&
               c.bytesOut == m_tap->BytesReceived() + m_outSkew;
    }
    // Bytes that will never arrive (a write the line did not take) are
    // written off after a second of real time, so the clock can move on.
    void WaitForQuiet() {
        const auto start = Clock::now();
        while (!Quiet()) {
            m_host.PumpUntil([this] { return Quiet(); }, 2ms);
            if (Clock::now() - start > kStallLimit) {
                const zsim::Simulator::LineCounts c = m_sim->Counts();
                if (c.queued == 0) {
                    ++m_stalls;
                    m_inSkew = m_tap->BytesWritten() - c.bytesIn;
                    m_outSkew = c.bytesOut - m_tap->BytesReceived();
                    return;
                }
            }
        }
        m_host.Pump();
    }
    std::optional<std::uint64_t> NextDue() const {
        std::optional<std::uint64_t> due;
        for (int id : {kTimerAck, kTimerResponse, kTimerProgress, kTimerRepeat})
            if (auto d = m_host.TimerDue(id)) due = due ? std::min(*due, *d) : *d;
        return due;
    }
    // Moves the world on until pred() holds or nothing more can happen.
    template <class Pred>
    void Settle(Pred pred) {
        for (int guard = 0; guard < 100000; ++guard) {
            WaitForQuiet();
            m_tap->Look();
            if (pred()) return;
            std::optional<std::uint64_t> due = NextDue();
            const bool busy = m_dlg.m_bBusy != 0;
            const std::uint64_t now = m_host.Now();
            // Past the latest moment the console may still be busy, look once
            // more there: a busy console is a violation, whatever timer comes later.
            const std::uint64_t deadline = m_checker.BusyDeadline() + 1;
            if (busy && deadline > now && (!due || *due > deadline)) due = deadline;
            if (!due) {
                if (busy) {  // busy with nothing left to end it
                    m_host.Advance(std::max<std::uint64_t>(deadline, now + 1) - now);
                    m_tap->Look();
                    m_stuck = true;
                }
                return;
            }
            m_host.Advance(*due > now ? *due - now : 0);
            m_tap->Look();
            MaybeImpatientClick();
        }
        m_stuck = true;
    }
    bool Idle() const {
        return !m_dlg.m_bBusy && !m_dlg.m_bDownloading && !m_host.IsTimerRunning(kTimerAck) &&
               !m_host.IsTimerRunning(kTimerRepeat);
    }

    // ---- the operator ------------------------------------------------------------

    int Pick(int n) { return static_cast<int>(m_rng() % static_cast<unsigned>(n)); }
    bool Chance(int percent) { return Pick(100) < percent; }

    void Page(int page) {
        if (m_host.GetCurSel(ids::kTab) != page) m_host.SelectTab(ids::kTab, page);
    }
    void Press(int id, const char* what) {
        ++m_ops[what];
        m_host.Click(id);
        Settle([this] { return Idle(); });
    }
    // Now and then a button is pressed while the console works: it must do nothing.
    void MaybeImpatientClick() {
        if (!m_dlg.m_bBusy || !Chance(3)) return;
        static constexpr int kIds[] = {1001, 1002, 1003, 1005, 1006, 1019, 1170, 1171, 1172, 1173};
        ++m_ops["click while busy"];
        m_host.Click(kIds[Pick(static_cast<int>(std::size(kIds)))]);
    }
    std::string Num(int lo, int hi) { return std::to_string(lo + Pick(hi - lo + 1)); }
    std::string Hex2() {
        char b[8];
        std::snprintf(b, sizeof b, "%X", Pick(256));
        return b;
    }

    void Operate() {
        const int r = Pick(1000);
        if (r < 380) return Dispense();
        if (r < 430) return Page(1), Press(1002, "PURGE");
        if (r < 530) return Page(2), Press(1006, "STATUS");
        if (r < 700) return Setting();
        if (r < 800) return TestPage();
        if (r < 880) return Page(2), Press(ids::kLog, "LOG");
        if (r < 930) return Page(1), Press(1004, "LAST STAT");
        if (r < 950) return Page(5), Press(Chance(50) ? ids::kGoLoader : ids::kReset, "Go Loader / Reset");
        if (r < 955) return Download();
        return Page(2), Press(1006, "STATUS");
    }

    void Dispense() {
        Page(1);
        for (int id = 1035; id <= 1038; ++id) m_host.Type(id, Chance(5) ? "x" : Num(0, 3));
        m_host.Type(ids::kRepeat, Chance(5) ? "0" : Num(1, 4));
        m_host.Type(ids::kWait, Num(1, 3));
        static constexpr int kIds[] = {1001, 1003, 1005};
        static constexpr const char* kNames[] = {"DISPENSE batch", "TEST DISP batch", "ZIGZAG batch"};
        const int k = Pick(3);
        Press(kIds[k], kNames[k]);
    }

    void Setting() {
        Page(3);
        switch (Pick(7)) {
        case 0: return Press(1007, "GET OPACITY");
        case 1:
            for (int id = 1086; id <= 1089; ++id) m_host.Type(id, Hex2());
            return Press(1008, "SET OPACITY");
        case 2: return Press(1017, "GET LENGTH");
        case 3:
            for (int id = 1139; id <= 1142; ++id) m_host.Type(id, Hex2());
            return Press(1018, "SET LENGTH");
        case 4: return Press(1009, "GET ORDER");
        case 5: {
            std::array<int, 4> order{1, 2, 3, 4};
            std::shuffle(order.begin(), order.end(), m_rng);
            if (Chance(20)) order[static_cast<std::size_t>(Pick(4))] = Pick(6);  // refused: "Error Parameter"
            const int orderIds[4] = {1090, 1091, 1112, 1113};
            for (int i = 0; i < 4; ++i) m_host.Type(orderIds[i], std::to_string(order[static_cast<std::size_t>(i)]));
            return Press(1010, "SET ORDER");
        }
        default: {
            const int radios[4] = {1043, 1044, 1045, 1114};
            m_host.Click(radios[Pick(4)]);
            return Press(1011, "SEN DIAG");
        }
        }
    }

    void TestPage() {
        Page(4);
        const int radios[4] = {1115, 1116, 1117, 1118};
        m_host.Click(radios[Pick(4)]);
        static constexpr const char* kNames[] = {"DIVERT", "CLUTCH", "BLDC", "RVDT", "RomVer"};
        const int k = Pick(5);
        Press(1012 + k, kNames[k]);
    }

    // A download is 320 exchanges or more; at the full fault rate almost none
    // would end with "Downloading Done!", so it runs at a twentieth of it,
    // which lets about half of them complete and the flash be compared.
    void Download() {
        const double rate = m_opt.faultRate;
        m_sim->WithCore([rate](zsim::ModuleCore& c) { c.SetFaultRate(rate / 20); });
        DownloadSteps();
        m_sim->WithCore([rate](zsim::ModuleCore& c) { c.SetFaultRate(rate); });
    }
    void DownloadSteps() {
        Page(5);
        Press(ids::kGoLoader, "Go Loader");
        m_nextImage = Pick(2);
        // A block write answered twice (its ACK came only after the resend):
        // the random faults meet it rarely, so a quarter of the downloads ask for it.
        if (Chance(25)) {
            ++m_ops["download with blocks answered twice"];
            const int n = 1 + Pick(2);
            m_sim->WithCore([n](zsim::ModuleCore& c) { c.GetFaults().answerTwice = n; });
        }
        m_doneShown = false;
        Press(ids::kWriteProg, "download");
        // The flash is compared once the line is quiet after "Downloading
        // Done!": a block the console sent is on its way to the module until
        // then (the protocol has no sequence numbers, so after a duplicated
        // exchange the console may take the last block's answer from the one
        // before it).
        if (m_doneShown) m_checker.DownloadDone(m_host.Now(), m_sim->Flash(), m_images[m_imageChosen]);
        Press(ids::kVerify, "Verify");
        if (Chance(50)) Press(ids::kReset, "Reset");
    }

    // ---- the end -------------------------------------------------------------------

    int Report(double secs) {
        const zsim::FaultCounts f = m_sim->GetFaultCounts();
        std::printf("zantu-soak: seed %u, fault rate %g, %.1f s real, %.1f h virtual\n", m_opt.seed,
                    m_opt.faultRate, secs, static_cast<double>(m_host.Now()) / 3600000.0);
        std::printf("operations:");
        for (const auto& [name, n] : m_ops) std::printf(" %s %llu;", name.c_str(), static_cast<unsigned long long>(n));
        std::printf("\ndownloads done %d; frames accepted %llu; stalls %d\n", m_downloadsDone,
                    static_cast<unsigned long long>(m_checker.FramesAccepted()), m_stalls);
        std::printf("%s", m_sim->FaultReport().c_str());
        for (const inv::Violation& v : m_checker.Violations())
            std::printf("violation (%d) at %llu ms: %s\n", v.rule, static_cast<unsigned long long>(v.atMs),
                        v.text.c_str());
        if (m_checker.ViolationCount() > 0)
            std::printf("events up to the first violation:\n%s", m_checker.FirstViolationTrace().c_str());
        if (m_stuck) std::printf("the console stayed busy with nothing left to end it; the soak stopped\n");
        std::printf("soak: %llu exchanges, %llu faults injected, %zu violations\n",
                    static_cast<unsigned long long>(m_checker.HostFramesWritten()),
                    static_cast<unsigned long long>(f.Total()), m_checker.ViolationCount());
        return m_checker.ViolationCount() == 0 && !m_stuck ? 0 : 1;
    }

    Options m_opt;
    std::mt19937 m_rng;
    std::filesystem::path m_oldDir, m_dir;
    std::array<std::string, 2> m_hex;
    std::array<Bytes, 2> m_images;
    int m_nextImage = 0, m_imageChosen = 0;
    std::unique_ptr<zsim::Simulator> m_sim;
    fw::HeadlessHost m_host;
    CConsoleDlg m_dlg{m_host};
    inv::Checker m_checker;
    std::unique_ptr<inv::ConsoleTap> m_tap;
    std::uint64_t m_inSkew = 0, m_outSkew = 0;
    int m_stalls = 0;
    bool m_stuck = false;
    int m_downloadsDone = 0;
    bool m_doneShown = false;
    std::map<std::string, std::uint64_t> m_ops;
    std::map<std::string, std::uint64_t> m_boxes;
};

const char kUsage[] =
    "Usage: zantu-soak [--exchanges N] [--seed S] [--fault-rate R] [--quiet]\n"
    "Runs the console against the simulated module with random faults and checks\n"
    "its invariants after every event (default 100000 exchanges, seed 1, rate 0.05).\n";

}  // namespace

int main(int argc, char** argv) {
    static const option kLong[] = {{"exchanges", required_argument, nullptr, 'n'},
                                   {"seed", required_argument, nullptr, 's'},
                                   {"fault-rate", required_argument, nullptr, 'r'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    Options o;
    int c;
    while ((c = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
        char* end = nullptr;
        switch (c) {
        case 'n': o.exchanges = std::strtoull(optarg, &end, 10); break;
        case 's': o.seed = static_cast<std::uint32_t>(std::strtoul(optarg, &end, 10)); break;
        case 'r': o.faultRate = std::strtod(optarg, &end); break;
        case 'q': o.quiet = true; continue;
        case 'h': std::fputs(kUsage, stdout); return 0;
        default: std::fputs(kUsage, stderr); return 2;
        }
        if (!end || *end != '\0' || !(o.faultRate >= 0.0 && o.faultRate <= 1.0)) {
            std::fprintf(stderr, "zantu-soak: bad value: %s\n%s", optarg, kUsage);
            return 2;
        }
    }
    if (optind < argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    Soak soak(o);
    const std::string err = soak.SetUp();
    if (!err.empty()) {
        std::fprintf(stderr, "zantu-soak: %s\n", err.c_str());
        return 2;
    }
    return soak.Run();
}
