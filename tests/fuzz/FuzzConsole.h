// The console the receiver and decoder fuzz targets drive: built once, and
// brought back to the state of a new console before every input (the host
// reset, the console constructed again in the same place), so an input costs
// what its bytes make the console do and not the set-up of a console.  The
// invariants' checker listens to the console's events; bytes go in through the
// receiver's own entry point and presses through the window's command
// dispatch, as a click would.  Any violation aborts with the checker's
// finding, so the fuzzer keeps the input.
//
// Set ZANTU_FUZZ_TRACE=1 when running one saved input to see the events that
// led to the violation.
#pragma once

#include "Invariants.h"
#include "console/ConsoleDlg.h"
#include "framework/HeadlessHost.h"
#include "link/LinkFrame.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <unistd.h>

namespace fuzz {

struct NullWriter final : CByteWriter {
    int Write(const std::uint8_t*, std::uint32_t) override { return 1; }
};

// What is outstanding when the module's bytes begin to come.
enum class Scenario : std::uint8_t {
    Nothing,      // no command sent
    Status,       // STATUS, a command of its own
    Dispense,     // DISPENSE batch, Repeat 2..5, Wait 1
    Zigzag,       // ZIGZAG batch, Repeat 3, Wait 2
    GoLoader,     // Go Loader: idle at once, its answer not awaited
    Verify,       // Verify
    Download,     // Write Prog of an image: block writes
    Purge,        // PURGE
};

// The set-up byte of an input: bits 0..2 the scenario, bits 4..5 its variant.
// A download keeps the progress timer running through the whole wait for a
// block's answer (400 expiries before the response time-out), which makes it
// ten times the work of any other input; it is chosen only when bit 7 is set
// too, so that it takes a sixteenth of the inputs rather than an eighth.
inline Scenario ScenarioOf(std::uint8_t setup) {
    const auto s = static_cast<Scenario>(setup & 7);
    return s == Scenario::Download && !(setup & 0x80) ? Scenario::Status : s;
}
inline unsigned VariantOf(std::uint8_t setup) { return (setup >> 4) & 3; }

class Console {
public:
    Console() {
        m_checker.SetTracing(std::getenv("ZANTU_FUZZ_TRACE") != nullptr);
        // A small HEX file for the download, in a folder of its own (Write
        // Prog makes its folder the current directory).
        std::string tmpl = (std::filesystem::temp_directory_path() / "zantu_fuzz_XXXXXX").string();
        if (mkdtemp(tmpl.data())) {
            m_hex = tmpl + "/image.hex";
            if (std::FILE* f = std::fopen(m_hex.c_str(), "wb")) {
                std::fputs(":0400000012345678E8\n:00000001FF\n", f);
                std::fclose(f);
            }
        }
    }

    // A new console with nothing sent; then the scenario's press.
    void Begin(Scenario s, unsigned variant) {
        End();
        m_dlg.emplace(m_host);
        m_dlg->m_pWriter = &m_null;  // the line: bytes written go nowhere
        m_dlg->Subscribe(&m_watch);
        m_host.m_answerFile = [this](std::string_view) { return std::optional<std::string>(m_hex); };
        Scene(s, variant);
    }

    // The press of a scenario (also in the middle of an input).
    void Scene(Scenario s, unsigned variant) {
        switch (s) {
        case Scenario::Nothing: break;
        case Scenario::Status: Press(2, 1006); break;
        case Scenario::Dispense:
            m_host.Type(1035, "3");
            m_host.Type(ids::kRepeat, std::to_string(2 + variant % 4));
            m_host.Type(ids::kWait, "1");
            Press(1, 1001);
            break;
        case Scenario::Zigzag:
            m_host.Type(1036, "2");
            m_host.Type(ids::kRepeat, "3");
            m_host.Type(ids::kWait, "2");
            Press(1, 1005);
            break;
        case Scenario::GoLoader: Press(5, ids::kGoLoader); break;
        case Scenario::Verify: Press(5, ids::kVerify); break;
        case Scenario::Download: Press(5, ids::kWriteProg); break;
        case Scenario::Purge: Press(1, 1002); break;
        }
    }

    // Bytes from the module, as one hand-over of the channel (at most 80),
    // through the receiver the hand-over runs.
    void Chunk(const std::uint8_t* p, std::size_t n) {
        if (n > CComm::kChunk) n = CComm::kChunk;
        m_dlg->ReceiveBytes(p, n);  // tells a change of idleness itself
        m_host.Pump();
        m_watch.Look();
        Check();
    }
    // Any length, cut into hand-overs.
    void Bytes(const std::uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i < n; i += CComm::kChunk) Chunk(p + i, std::min(CComm::kChunk, n - i));
    }
    void Advance(std::uint64_t ms) {
        m_host.Advance(ms);
        m_watch.Look();
        Check();
    }

    // Everything the input made is freed before it ends: libFuzzer counts the
    // allocations and frees of each input and runs the leak check again on
    // every input whose counts differ.
    void End() {
        m_dlg.reset();
        m_watch.Reset();
        m_host.Reset();
        m_checker.Reset();
    }

    CConsoleDlg& Dlg() { return *m_dlg; }
    fw::HeadlessHost& Host() { return m_host; }

private:
    void Press(int page, int id) {
        // The page is selected without the page switch's redrawing, which is
        // not what these targets are about (and costs more than the rest).
        m_host.SetWindow(nullptr);
        m_host.SelectTab(ids::kTab, page);
        m_host.SetWindow(&*m_dlg);
        m_dlg->m_nTab = page;
        m_dlg->OnCommand(id);
        m_host.Pump();
        m_watch.Look();
        Check();
    }
    void Check() {
        if (m_checker.ViolationCount() == 0) return;
        for (const inv::Violation& v : m_checker.Violations())
            std::fprintf(stderr, "invariant (%d) broken at %llu ms: %s\n", v.rule,
                         static_cast<unsigned long long>(v.atMs), v.text.c_str());
        std::fprintf(stderr, "%s", m_checker.FirstViolationTrace().c_str());
        std::abort();
    }

    fw::HeadlessHost m_host;
    std::optional<CConsoleDlg> m_dlg;
    inv::Checker m_checker;
    inv::ConsoleWatch m_watch{m_host, m_checker};
    NullWriter m_null;
    std::string m_hex;
};

inline Console& TheConsole() {
    static Console c;
    return c;
}

}  // namespace fuzz
