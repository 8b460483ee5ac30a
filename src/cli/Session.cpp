#include "cli/Session.h"

#include "commands/FieldParse.h"
#include "console/LayoutTable.h"
#include "cli/HexInfo.h"
#include "firmware/HexLoader.h"
#include "firmware/ImageIdentity.h"
#include "link/LinkFrame.h"
#include "link/PortDiscovery.h"
#include "link/PortError.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace cli {

namespace {

using namespace std::chrono_literals;

constexpr int kPageStatus = 2;
constexpr int kPageDownload = 5;

// The log ends when no further frame came for this long after its answer.
constexpr auto kLogQuiet = 1s;
// Go Loader arms no response timer; the tool waits this long for its answer.
constexpr auto kLoaderAnswerWait = std::chrono::milliseconds(kResponseFirstMs);
constexpr auto kBarPeriod = 100ms;
// The longest wait for the line to drain before the port closes: a whole
// block frame and more at 9600 baud.
constexpr auto kDrainMax = 1s;
constexpr int kBarWidth = 40;

// The caption of a control in the layout table ("STATUS").
std::string CaptionOf(int id) {
    for (const LayoutRow& r : g_Layout) {
        if (r.page == kLayoutEndPage) break;
        if (r.id == id) return r.caption;
    }
    return {};
}

std::string Hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFFu);
    return buf;
}

// "Error = 2a " -> 0x2a; -1 when the caption is not a device error's.
int DeviceErrorCode(std::string_view caption) {
    static constexpr std::string_view kHead = "Error = ";
    if (caption.substr(0, kHead.size()) != kHead) return -1;
    const std::string digits(caption.substr(kHead.size()));
    char* end = nullptr;
    const long v = std::strtol(digits.c_str(), &end, 16);
    if (end == digits.c_str()) return -1;
    return static_cast<int>(v & 0xFF);
}

// The download's step, for the JSON records only.
Field StepField(const std::string& step) {
    Field f = ScalarField("step", "step", FieldKind::Text, step);
    f.jsonOnly = true;
    return f;
}

std::string Trimmed(std::string_view s) {
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return std::string(s);
}

}  // namespace

const char* ResultWord(int exitCode) {
    switch (exitCode) {
    case kExitOk: return "ok";
    case kExitDeviceError: return "device_error";
    case kExitLinkFailed: return "link_failed";
    case kExitPortFailed: return "port_failed";
    case EX_USAGE: return "usage_error";
    case EX_DATAERR: return "data_error";
    case EX_NOINPUT: return "no_input";
    case EX_CANTCREAT: return "cannot_create";
    case EX_IOERR: return "io_error";
    case EX_NOPERM: return "wrong_password";
    default: return exitCode >= 128 ? "interrupted" : "failed";
    }
}

Session::Session(SessionConfig cfg) : m_cfg(std::move(cfg)), m_info(*m_cfg.options.command) {
    m_host.m_appTitle = "zantu-cli";
    m_host.m_useRealLocalTime = true;
    m_host.m_answerBox = [this](const fw::MessageBoxRecord& box) { return OnBox(box); };
    m_host.m_answerPrompt = [this](std::string_view) { return std::optional<std::string>(m_cfg.password); };
    m_dlg.m_Comm.SetPortMap(m_cfg.map);
    // The console's own lines for the user (why a port failed or went away):
    // the session words them itself, once.
    m_dlg.m_errorSink = [](const std::string&) {};
}

Session::~Session() { m_host.SetWindow(nullptr); }

// ---- the host's window ----------------------------------------------------

void Session::OnTimer(int nIdEvent) {
    // Once asked to stop, no new send starts: the batch's next send waits
    // for good.  Resends of the current frame still go (they are part of the
    // exchange under way).
    if (nIdEvent == kTimerRepeat && StopAsked()) {
        m_host.KillTimer(nIdEvent);
        return;
    }
    m_dlg.OnTimer(nIdEvent);
    // The response timer's expiry always ends the command; the ACK timer's
    // ends it when no resend re-armed the timer.
    const bool gaveUp = nIdEvent == kTimerResponse ||
                        (nIdEvent == kTimerAck && !m_host.IsTimerRunning(kTimerAck));
    if (gaveUp && !m_linkFailed) {
        m_linkFailed = true;
        m_linkWhy = m_dlg.m_strStatus;
    }
}

std::intptr_t Session::OnMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
    if (msg == WM_NEXT_BLOCK && StopAsked()) return 0;  // the download stops at this block
    const bool wasAwaited = m_dlg.m_bAnswerAwaited;
    const bool ackAwaited = m_host.IsTimerRunning(kTimerAck);
    m_pending = {};
    const std::intptr_t r = m_dlg.OnMessage(msg, wParam, lParam);
    if (msg == WM_COMM_LOST && m_dlg.m_nLostPort != 0 && !m_linkFailed) {
        // The console would wait for the port to come back; a run ends here.
        m_linkFailed = true;
        m_linkWhy = m_dlg.m_strStatus + ": " + m_dlg.m_Comm.ReopenPath() + " went away";
    }
    if (msg != WM_COMM_DATA) return r;
    if (m_dlg.m_nFramesAccepted != m_framesSeen) {
        m_framesSeen = m_dlg.m_nFramesAccepted;
        m_lastFrameAt = Clock::now();
    }
    if (ackAwaited && !m_host.IsTimerRunning(kTimerAck) && !m_linkFailed && m_step == "reset")
        m_resetAcked = true;
    // Only the awaited answer ends the wait for it, and only a chunk of bytes
    // can bring it (one command is outstanding at a time, so at most one per chunk).
    if (wasAwaited && !m_dlg.m_bAnswerAwaited) OnAnswer();
    return r;
}

int Session::OnBox(const fw::MessageBoxRecord& box) {
    if (box.yesNo) {
        // The only question a run meets: a HEX file whose only faults are
        // its checksums.  Taken with --ignore-checksums, and said so in the
        // output and the trace; otherwise refused (No is the default).
        const bool yes = m_cfg.options.ignoreChecksums;
        const std::string finding = box.text.substr(0, box.text.find('\n'));
        const std::string choice =
            finding + (yes ? ": downloaded anyway (--ignore-checksums)" : ": refused (no --ignore-checksums)");
        Note("zantu-cli: " + choice);
        if (m_traceFile) {
            const std::string line = "# bad records: " + choice;
            m_traceFile->Put(trace::Line{.tUs = 0, .flags = 0, .text = line});
        }
        return yes ? fw::kIdYes : fw::kIdNo;
    }
    const int code = DeviceErrorCode(box.caption);
    if (code >= 0) {
        ++m_deviceErrors;
        m_pending = {code, box.text};
    }
    if (box.text == "Go Loader O.K.!") m_loaderAnswered = true;
    if (box.text == "Downloading Done!") m_downloadDone = true;
    if (box.text == "Verify O.K.!") m_verifyOk = true;
    if (box.text == "Error Parameter") m_paramRefused = true;
    const std::string caption = Trimmed(box.caption);
    if (caption.empty() || caption == m_host.AppTitle())
        Note(box.text);
    else
        Note(caption + ": " + box.text);
    return fw::kIdOk;
}

// ---- running ----------------------------------------------------------------

int Session::Run() {
    const Options& o = m_cfg.options;
    if (o.trace) {
        std::string error;
        m_traceFile = trace::FileSink::Open(*o.trace, &error);
        if (!m_traceFile) {
            Fail(EX_CANTCREAT, error);
            return Finish();
        }
        m_traceFile->SetFailureReport([this](const std::string& text) { Note("zantu-cli: " + text); });
        m_trace = std::make_unique<trace::WireTrace>();
        m_trace->AddSink(m_traceFile.get());
        m_dlg.Subscribe(m_trace.get());
    }
    if (m_cfg.record) {
        m_batchRecord = std::make_unique<rec::BatchRecord>();
        m_dlg.Subscribe(m_batchRecord.get());
    }
    if (m_info.cmd == Cmd::Download) {
        // The file is checked before anything is sent: a refused file must
        // not leave the module in its loader.
        std::array<std::uint8_t, kImageSize> scratch;
        scratch.fill(0xFF);
        const HexLoadResult r = LoadHexFile(o.args[0], scratch);
        const bool taken = r.OnlyChecksums() && o.ignoreChecksums;
        if (r.status != HexLoadStatus::Ok && !taken) {
            const bool unreadable =
                r.status == HexLoadStatus::FileError || r.status == HexLoadStatus::NotRegularFile;
            Fail(unreadable ? EX_NOINPUT : EX_DATAERR,
                 r.OnlyChecksums() ? HexFindingsSummary(o.args[0], r) + " (--ignore-checksums takes it)"
                 : r.status == HexLoadStatus::BadRecords ? HexFindingsSummary(o.args[0], r)
                                                         : HexLoadMessage(o.args[0], r));
            return Finish();
        }
        // The image's identity, before Go Loader.
        Emit(ImageRecord(std::string(m_info.name), image::Identify(o.args[0], r, scratch)));
    }
    if (m_info.cmd == Cmd::Log && o.dir && ::chdir(o.dir->c_str()) != 0) {
        Fail(EX_CANTCREAT, "cannot use the directory " + *o.dir + ": " + std::strerror(errno));
        return Finish();
    }
    if (!Open()) return Finish();
    if (m_cfg.onOpened) m_cfg.onOpened();
    switch (m_info.cmd) {
    case Cmd::Log: RunLog(); break;
    case Cmd::Download: RunDownload(); break;
    default: RunButton(); break;
    }
    DrainLine();
    return Finish();
}

void Session::DrainLine() {
    // Closing the channel discards what it has not sent yet; after a stop at
    // once the last frame may still be on its way.  It leaves whole first.
    auto drained = [&] {
        const int fd = m_dlg.m_Comm.m_hComm;
        if (fd < 0 || !m_dlg.m_Comm.m_bOpen) return true;
        int queued = 0;
        return m_dlg.m_Comm.QueuedBytes() == 0 && (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0);
    };
    m_driver.RunUntil(drained, kDrainMax, 5ms);
}

bool Session::Open() {
    m_dlg.Create();
    m_host.SetWindow(this);
    if (m_cfg.com >= 1 && m_cfg.com <= 10 && m_cfg.com != 1) m_host.Click(ids::kCom[m_cfg.com - 1]);
    m_host.Click(ids::kOpen);
    if (m_dlg.m_bLinked) return true;
    std::string why = DescribeOpenError(m_dlg.m_Comm.LastOpenError(), PortAdvice::CommandLine);
    if (why.empty()) why = std::strerror(m_dlg.m_Comm.LastError() ? m_dlg.m_Comm.LastError() : EIO);
    Fail(kExitPortFailed, "cannot open " + m_cfg.portName + " (" + m_dlg.m_strStatus + "): " + why);
    return false;
}

bool Session::PressOnPage(int page, int id) {
    if (m_host.GetCurSel(ids::kTab) != page) m_host.SelectTab(ids::kTab, page);
    return m_host.Click(id);
}

bool Session::ExchangeIdle() const {
    return !m_dlg.m_bAnswerAwaited && !m_host.IsTimerRunning(kTimerAck);
}

bool Session::Drive(const std::function<bool()>& done) {
    auto over = [&] {
        DrawProgress(false);
        return done() || m_linkFailed || StopNow() || (StopAsked() && ExchangeIdle());
    };
    while (!m_driver.RunUntil(over, std::chrono::hours(1))) {
    }
    return done();
}

void Session::RunButton() {
    const Options& o = m_cfg.options;
    const CommandInfo& c = m_info;
    m_host.SelectTab(ids::kTab, c.page);
    switch (c.args) {
    case ArgKind::Counts:
    case ArgKind::Order:
    case ArgKind::Texts:
        for (std::size_t i = 0; i < 4; ++i) m_host.Type(c.fields[i], o.args[i]);
        break;
    case ArgKind::Box:
    case ArgKind::BoxOpt:
        if (o.args.empty()) {
            for (int id : c.fields) m_host.SetCheck(id, 0);  // no box chosen
        } else {
            m_host.Click(c.fields[static_cast<std::size_t>(o.args[0][0] - '1')]);
        }
        break;
    default: break;
    }
    if (o.repeat) m_host.Type(ids::kRepeat, *o.repeat);
    if (o.wait) m_host.Type(ids::kWait, *o.wait);
    if (!m_host.Click(c.button)) {
        Fail(EX_SOFTWARE, "the " + CaptionOf(c.button) + " button could not be pressed");
        return;
    }
    if (m_paramRefused) {
        Fail(EX_USAGE, "the console refused the values (Error Parameter); nothing was sent");
        return;
    }
    m_batchOf = (c.options & kOptBatch) ? m_dlg.m_nRepeat : 0;
    Drive([&] { return !m_dlg.IsBusy(); });
}

void Session::RunLog() {
    if (!PressOnPage(kPageStatus, ids::kLog)) {
        Fail(EX_SOFTWARE, "the LOG button could not be pressed");
        return;
    }
    if (!m_dlg.m_bLogUnlocked) {
        Fail(EX_NOPERM, "wrong service password; nothing was sent");
        return;
    }
    if (!m_dlg.m_hLogFile) {
        Fail(EX_CANTCREAT, "the log file could not be created; nothing was sent");
        return;
    }
    if (!Drive([&] { return !m_dlg.IsBusy(); }) || m_linkFailed) return;
    // Further log frames may follow the answer; they are appended as they come.
    m_lastFrameAt = Clock::now();
    const auto end = Clock::now() + std::chrono::milliseconds(kResponseFirstMs);
    Drive([&] { return Clock::now() - m_lastFrameAt >= kLogQuiet || Clock::now() >= end; });

    struct stat st {};
    const bool have = ::stat(m_dlg.m_strLogPath.c_str(), &st) == 0;
    Record r;
    r.type = "answer";
    r.command = std::string(m_info.name);
    r.caption = "LOG";
    r.code = '~';
    r.fields.push_back(ScalarField("file", "file", FieldKind::Text, m_dlg.m_strLogPath));
    r.fields.push_back(have ? ScalarField("bytes", "bytes", FieldKind::Dec, std::to_string(st.st_size))
                            : NullField("bytes", "bytes"));
    ++m_answers;
    Emit(r);
    if (m_dlg.m_bLogWriteFailed) Fail(EX_IOERR, "writing the log file " + m_dlg.m_strLogPath + " failed");
}

void Session::RunDownload() {
    const Options& o = m_cfg.options;
    std::error_code ec;
    const std::filesystem::path abs = std::filesystem::absolute(o.args[0], ec);
    const std::string path = ec ? o.args[0] : abs.string();
    m_host.m_answerFile = [path](std::string_view) { return std::optional<std::string>(path); };

    m_step = "go-loader";
    if (!PressOnPage(kPageDownload, ids::kGoLoader)) {
        Fail(EX_SOFTWARE, "the Go Loader button could not be pressed");
        return;
    }
    const auto loaderEnd = Clock::now() + kLoaderAnswerWait;
    Drive([&] { return m_loaderAnswered || Clock::now() >= loaderEnd; });
    if (m_linkFailed || StopAsked()) return;
    if (!m_loaderAnswered) {
        m_linkFailed = true;
        m_linkWhy = "no answer to Go Loader";
        return;
    }
    Record loader;
    loader.type = "answer";
    loader.command = std::string(m_info.name);
    loader.caption = "Go Loader";
    loader.code = 'r';
    loader.top.push_back(StepField(m_step));
    ++m_answers;
    Emit(loader);

    m_step = "write-prog";
    if (!PressOnPage(kPageDownload, ids::kWriteProg)) {
        Fail(EX_SOFTWARE, "the Write Prog button could not be pressed");
        return;
    }
    if (!m_dlg.m_bDownloading && !m_downloadDone) {
        Fail(EX_DATAERR, "the console refused the HEX file " + path);
        return;
    }
    Drive([&] { return !m_dlg.IsBusy(); });
    DrawProgress(true);
    ClearProgress();
    if (!m_downloadDone || m_linkFailed || StopAsked()) return;

    if (o.verify) {
        m_step = "verify";
        if (!PressOnPage(kPageDownload, ids::kVerify)) {
            Fail(EX_SOFTWARE, "the Verify button could not be pressed");
            return;
        }
        Drive([&] { return !m_dlg.IsBusy(); });
        if (!m_verifyOk || m_linkFailed || StopAsked()) return;
    }
    if (o.reset) {
        m_step = "reset";
        if (!PressOnPage(kPageDownload, ids::kReset)) {
            Fail(EX_SOFTWARE, "the Reset button could not be pressed");
            return;
        }
        Drive([&] { return m_resetAcked; });
        if (m_resetAcked) {
            Record r;
            r.type = "ack";
            r.command = std::string(m_info.name);
            r.caption = "Reset";
            r.top.push_back(StepField(m_step));
            Emit(r);
        }
    }
}

void Session::OnAnswer() {
    const int code = m_dlg.m_nCmdCode;
    if (code == '~') return;  // the log is reported once its frames have come
    const Options& o = m_cfg.options;
    Record r;
    r.type = "answer";
    r.command = std::string(m_info.name);
    r.code = code;
    r.error = m_pending.code;
    r.errorText = m_pending.text;
    ++m_answers;
    if (m_batchOf > 0) {
        r.index = m_answers;
        r.of = m_batchOf;
    }
    const int sub = m_dlg.m_nTxLen > 4 ? m_dlg.m_TxFrame[4] : 0;
    r.fields = DecodedFields(m_dlg, code, sub);
    switch (m_info.cmd) {
    case Cmd::SetOpacity:
    case Cmd::SetLength:
    case Cmd::SetOrder: {
        // What the frame carried, read from the typed texts by the core's own rule.
        std::vector<std::string> sent;
        for (const auto& a : o.args) {
            if (m_info.cmd == Cmd::SetOrder) {
                sent.push_back(std::to_string(ParseField(a, 10)));
            } else {
                char buf[8];
                std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(ParseField(a, 16)) & 0xFFu);
                sent.push_back(buf);
            }
        }
        r.fields.push_back(ListField("sent", "sent",
                                     m_info.cmd == Cmd::SetOrder ? FieldKind::Dec : FieldKind::Hex,
                                     std::move(sent), m_info.cmd != Cmd::SetOrder));
        break;
    }
    case Cmd::SenDiag:
    case Cmd::Clutch:
    case Cmd::Rvdt:
        r.fields.insert(r.fields.begin(), o.args.empty() ? NullField("box", "Box")
                                                         : ScalarField("box", "Box", FieldKind::Dec, o.args[0]));
        break;
    default: break;
    }
    if (m_info.cmd == Cmd::Download) {
        r.top.push_back(StepField(m_step));
        if (code == 's') {
            const int addr = m_dlg.m_nImageAddr - kBlockSize;
            r.caption = "Write Prog";
            r.fields.push_back(ScalarField("block", "block", FieldKind::Dec, std::to_string(addr / kBlockSize + 1)));
            r.fields.push_back(ScalarField("address", "address", FieldKind::Hex, Hex4(static_cast<unsigned>(addr))));
        } else if (code == 't') {
            r.caption = "Verify";
            r.fields.push_back(ScalarField("image_sum", "image sum", FieldKind::Hex, Hex4(m_dlg.ImageSum())));
        }
    } else {
        r.caption = CaptionOf(m_info.button);
    }
    Emit(r);
}

// ---- output -----------------------------------------------------------------

// Each line of text with the port's name before it, when several ports run.
static std::string Labelled(const std::string& label, const std::string& text) {
    if (label.empty()) return text;
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t eol = text.find('\n', pos);
        const std::size_t end = eol == std::string::npos ? text.size() : eol + 1;
        out += "[" + label + "] ";
        out.append(text, pos, end - pos);
        pos = end;
    }
    return out;
}

void Session::Emit(const Record& r) {
    std::string text;
    if (m_cfg.options.json) {
        Record named = r;
        named.port = m_cfg.label;
        text = FormatJson(named) + "\n";
    } else if (r.code == 's' && r.error == 0) {
        return;  // a written block: the progress bar shows it
    } else {
        text = Labelled(m_cfg.label, FormatHuman(r));
    }
    ClearProgress();
    std::fwrite(text.data(), 1, text.size(), m_cfg.out);
    std::fflush(m_cfg.out);
}

void Session::Note(const std::string& text) {
    ClearProgress();
    std::fprintf(m_cfg.err, "%s", Labelled(m_cfg.label, text + "\n").c_str());
    std::fflush(m_cfg.err);
}

void Session::Fail(int exitCode, const std::string& why) {
    if (m_failExit != 0) return;
    m_failExit = exitCode;
    m_failWhy = why;
}

void Session::DrawProgress(bool force) {
    if (!m_cfg.progress) return;
    const auto now = Clock::now();
    if (!force && now - m_barAt < kBarPeriod) return;
    m_barAt = now;
    std::string line;
    if (m_info.cmd == Cmd::Download && m_step == "write-prog") {
        const int pos = std::clamp(m_host.GetProgressPos(ids::kProgress), 0, kBlockCount);
        const int fill = pos * kBarWidth / kBlockCount;
        line = "Write Prog [" + std::string(static_cast<std::size_t>(fill), '#') +
               std::string(static_cast<std::size_t>(kBarWidth - fill), '.') + "] " + std::to_string(pos) +
               "/" + std::to_string(kBlockCount);
    } else if (m_batchOf > 1) {
        const int done = std::clamp(m_answers, 0, m_batchOf);
        const int fill = done * kBarWidth / m_batchOf;
        line = CaptionOf(m_info.button) + " [" + std::string(static_cast<std::size_t>(fill), '#') +
               std::string(static_cast<std::size_t>(kBarWidth - fill), '.') + "] " + std::to_string(done) +
               "/" + std::to_string(m_batchOf);
    } else {
        return;
    }
    if (line == m_barText && m_barShown) return;
    std::fprintf(m_cfg.err, "\r%s\033[K", line.c_str());
    std::fflush(m_cfg.err);
    m_barText = line;
    m_barShown = true;
}

void Session::ClearProgress() {
    if (!m_barShown) return;
    std::fputs("\r\033[K", m_cfg.err);
    std::fflush(m_cfg.err);
    m_barShown = false;
}

int Session::Finish() {
    ClearProgress();
    const bool stopped = m_cfg.stop && m_cfg.stop->load() >= 1;
    int rc = kExitOk;
    std::string message;
    const bool timedOut = stopped && m_cfg.timedOut && m_cfg.timedOut->load();
    if (stopped) {
        rc = timedOut ? kExitLinkFailed : m_cfg.stopExit ? m_cfg.stopExit() : 130;
        message = timedOut ? "timed out after " + std::to_string(m_cfg.timeoutSec) + " s" : "stopped";
        if (m_info.cmd == Cmd::Download && !m_downloadDone && m_step == "write-prog")
            message += " during the download: the module's flash holds " +
                       std::to_string(std::max(0, m_dlg.m_nBlocksDone - 1)) + " of " +
                       std::to_string(kBlockCount) + " blocks";
    } else if (m_failExit == kExitPortFailed) {
        rc = m_failExit;
        message = m_failWhy;
    } else if (m_linkFailed) {
        rc = kExitLinkFailed;
        message = "the link failed: " + m_linkWhy;
    } else if (m_failExit != 0) {
        rc = m_failExit;
        message = m_failWhy;
    } else if (m_deviceErrors > 0) {
        rc = kExitDeviceError;
        message = m_deviceErrors == 1 ? "the module reported a device error"
                                      : "the module reported " + std::to_string(m_deviceErrors) + " device errors";
    } else if (m_info.cmd == Cmd::Download && !m_downloadDone) {
        rc = kExitDeviceError;
        message = "the download did not complete";
    }
    if (rc != kExitOk) Note("zantu-cli: " + message);
    m_result = timedOut ? "timed_out" : ResultWord(rc);
    if (!WriteRecord(rc) && rc == kExitOk) {
        rc = EX_IOERR;
        m_result = ResultWord(rc);
    }

    Record s;
    s.type = "summary";
    s.command = std::string(m_info.name);
    s.top.push_back(ScalarField("exit", "exit", FieldKind::Dec, std::to_string(rc)));
    s.top.push_back(ScalarField("result", "result", FieldKind::Text, m_result));
    s.top.push_back(ScalarField("message", "message", FieldKind::Text, message));
    s.top.push_back(ScalarField("answers", "answers", FieldKind::Dec, std::to_string(m_answers)));
    s.top.push_back(ScalarField("device_errors", "device errors", FieldKind::Dec, std::to_string(m_deviceErrors)));
    s.top.push_back(ScalarField("status", "status", FieldKind::Text, m_dlg.m_strStatus));

    Record human;  // what a person reads after the answers, when there is more to say
    human.type = "summary";
    if ((m_info.options & kOptBatch) && m_dlg.m_bLinked) {
        const int repeat = m_batchOf > 0 ? m_batchOf : m_dlg.m_nRepeat;
        s.fields.push_back(ScalarField("repeat", "Repeat", FieldKind::Dec, std::to_string(repeat)));
        s.fields.push_back(ScalarField("wait", "Wait", FieldKind::Dec, std::to_string(m_dlg.m_nWaitSec)));
        if (m_info.cmd != Cmd::LastStat) {
            // The batch's sums and totals; the last answer's own counts are in its record.
            for (Field& f : DecodedFields(m_dlg, m_dlg.m_nCmdCode, 0))
                if (!f.group.empty() || (f.key != "dispensed" && f.key != "rejected"))
                    s.fields.push_back(std::move(f));
        }
        if (m_batchOf > 1) {
            human.caption = CaptionOf(m_info.button) + " batch";
            human.top.push_back(ScalarField("answers", "answers", FieldKind::Dec, std::to_string(m_answers)));
            human.fields = s.fields;
        }
    }
    if (m_info.cmd == Cmd::Download && m_dlg.m_bLinked) {
        const int blocks = m_downloadDone ? kBlockCount : std::max(0, m_dlg.m_nBlocksDone - 1);
        s.fields.push_back(ScalarField("blocks", "blocks", FieldKind::Dec, std::to_string(blocks)));
        s.fields.push_back(ScalarField("downloaded", "downloaded", FieldKind::Flag, m_downloadDone ? "1" : "0"));
        s.fields.push_back(ScalarField("verified", "verified", FieldKind::Flag, m_verifyOk ? "1" : "0"));
        s.fields.push_back(ScalarField("reset", "reset", FieldKind::Flag, m_resetAcked ? "1" : "0"));
        s.fields.push_back(ScalarField("image_sum", "image sum", FieldKind::Hex, Hex4(m_dlg.ImageSum())));
        human.caption = "Write Prog";
        human.top.push_back(ScalarField("blocks", "blocks",
                                        FieldKind::Dec, std::to_string(blocks) + "/" + std::to_string(kBlockCount)));
        if (m_cfg.options.verify)
            human.top.push_back(ScalarField("verify", "Verify", FieldKind::Text, m_verifyOk ? "O.K." : "failed"));
        if (m_cfg.options.reset)
            human.top.push_back(ScalarField("reset", "Reset", FieldKind::Text, m_resetAcked ? "sent" : "not sent"));
    }
    if (!m_cfg.label.empty() && !m_cfg.options.json) {  // each port its summary line
        if (human.caption.empty()) {
            human.caption = CaptionOf(m_info.button);
            human.top.push_back(ScalarField("answers", "answers", FieldKind::Dec, std::to_string(m_answers)));
        }
        human.top.push_back(ScalarField("result", "result", FieldKind::Text, m_result));
    }
    if (m_cfg.options.json) {
        Emit(s);
    } else if (!human.caption.empty()) {
        const std::string text = Labelled(m_cfg.label, FormatHuman(human));
        std::fwrite(text.data(), 1, text.size(), m_cfg.out);
    }
    if (std::fflush(m_cfg.out) != 0 || std::ferror(m_cfg.out)) {
        std::fprintf(m_cfg.err, "zantu-cli: writing the output failed\n");
        if (rc == kExitOk) rc = EX_IOERR;
    }
    return rc;
}

bool Session::WriteRecord(int exitCode) {
    if (!m_cfg.record || !m_batchRecord || m_batchRecord->Info().number == 0) return true;
    rec::RunFields run;
    run.port = m_cfg.label.empty() ? m_cfg.portName : m_cfg.label;
    run.unit = m_cfg.options.unit.value_or("");
    run.command = std::string(m_info.name);
    run.arguments = m_batchRecord->Arguments();
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    bool ok = false;
    {
        std::unique_lock<std::mutex> lock;
        if (m_cfg.recordLock) lock = std::unique_lock(*m_cfg.recordLock);
        ok = m_cfg.record->WriteBatch(run, *m_batchRecord, now.count(), exitCode);
        if (!ok) Note("zantu-cli: writing the record failed: " + m_cfg.record->Error());
    }
    return ok;
}

// ---- list-ports ---------------------------------------------------------------

int RunListPorts(const Options& o, const DeviceRoots& roots, std::FILE* out, std::FILE* err) {
    const PortMap map;  // COMn is /dev/ttyS(n-1)
    const std::vector<SerialPortInfo> ports = DiscoverPorts(roots);
    if (ports.empty() && !o.json) std::fputs("zantu-cli: no serial ports found\n", err);
    for (const SerialPortInfo& p : ports) {
        const std::vector<int> coms = ComsMappedTo(p, map);
        std::string text;
        if (o.json) {
            Record r;
            r.type = "port";
            r.command = "list-ports";
            auto add = [&](const char* key, const std::string& v) {
                r.top.push_back(ScalarField(key, key, FieldKind::Text, v));
            };
            add("device", p.device);
            std::vector<std::string> comNames;
            for (int n : coms) comNames.push_back("COM" + std::to_string(n));
            r.top.push_back(ListField("coms", "coms", FieldKind::Text, comNames, false));
            r.top.push_back(ListField("by_id", "by-id", FieldKind::Text, p.byId, false));
            r.top.push_back(ListField("by_path", "by-path", FieldKind::Text, p.byPath, false));
            add("driver", p.driver);
            r.top.push_back(ScalarField("usb", "usb", FieldKind::Flag, p.usb ? "1" : "0"));
            add("vendor_id", p.vendorId);
            add("product_id", p.productId);
            add("manufacturer", p.manufacturer);
            add("product", p.product);
            add("serial", p.serial);
            add("description", p.Description());
            text = FormatJson(r) + "\n";
        } else {
            text = FormatPortLine(p, coms) + "\n";
        }
        std::fwrite(text.data(), 1, text.size(), out);
    }
    int rc = kExitOk;
    if (std::fflush(out) != 0 || std::ferror(out)) rc = EX_IOERR;
    if (o.json) {
        Record s;
        s.type = "summary";
        s.command = "list-ports";
        s.top.push_back(ScalarField("exit", "exit", FieldKind::Dec, std::to_string(rc)));
        s.top.push_back(ScalarField("result", "result", FieldKind::Text, ResultWord(rc)));
        s.top.push_back(ScalarField("ports", "ports", FieldKind::Dec, std::to_string(ports.size())));
        const std::string text = FormatJson(s) + "\n";
        std::fwrite(text.data(), 1, text.size(), out);
        if (std::fflush(out) != 0) rc = EX_IOERR;
    }
    return rc;
}

}  // namespace cli
