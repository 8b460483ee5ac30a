#include "cli/Session.h"

#include "commands/CommandType.h"
#include "commands/ErrorText.h"
#include "commands/FieldParse.h"
#include "console/LayoutTable.h"
#include "cli/HexInfo.h"
#include "firmware/HexLoader.h"
#include "firmware/ImageIdentity.h"
#include "link/LinkFrame.h"
#include "link/PortDiscovery.h"
#include "link/PortError.h"

#include "cli/SysExits.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace cli {

namespace {

// A path in UTF-8, as the rest of the tool keeps its names.
std::string PathText(const std::filesystem::path& p) {
    const std::u8string u = p.u8string();
    return std::string(u.begin(), u.end());
}

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

static_assert(res::ExitOf(res::Result::UsageError) == EX_USAGE && res::ExitOf(res::Result::DataError) == EX_DATAERR &&
              res::ExitOf(res::Result::NoInput) == EX_NOINPUT &&
              res::ExitOf(res::Result::CannotCreate) == EX_CANTCREAT &&
              res::ExitOf(res::Result::IoError) == EX_IOERR && res::ExitOf(res::Result::WrongPassword) == EX_NOPERM &&
              res::ExitOf(res::Result::Failed) == EX_SOFTWARE);

const char* ResultWord(int exitCode) { return res::Word(res::OfExit(exitCode)).data(); }

Session::Session(SessionConfig cfg) : m_cfg(std::move(cfg)), m_info(*m_cfg.options.command) {
    m_host.m_appTitle = "zantu-cli";
    m_host.m_useRealLocalTime = true;
    m_host.m_answerBox = [this](const fw::MessageBoxRecord& box) { return OnBox(box); };
    m_host.m_answerPrompt = [this](std::string_view) { return std::optional<std::string>(m_cfg.password); };
    m_dlg.m_Comm.SetPortMap(m_cfg.map);
    // The console's own lines for the user (why a port failed or went away):
    // the session words them itself, once.
    m_dlg.m_errorSink = [](const std::string&) {};
    m_dlg.Subscribe(this);
}

Session::~Session() { m_dlg.Unsubscribe(this); }

// ---- the console's events ---------------------------------------------------

void Session::Written(const std::uint8_t*, std::size_t, const ev::TxNote& note) {
    const bool frame = note.kind == ev::TxKind::FirstSend || note.kind == ev::TxKind::Resend ||
                       note.kind == ev::TxKind::RepeatSend;
    if (!frame || !note.frame || note.notSent) return;
    m_lastFrame = *note.frame;
    m_exchangeOpen = true;
    if (m_lastFrame.type == cmd::kVerify) m_verifySent = true;
    if (cmd::IsDispenseType(m_lastFrame.type)) m_answerUnread = true;
}

void Session::Link(ev::LinkEvent e, int, std::string_view) {
    switch (e) {
    case ev::LinkEvent::Open: m_opened = true; break;
    case ev::LinkEvent::AckTimeout:
    case ev::LinkEvent::ResponseTimeout:
        m_exchangeOpen = false;
        if (m_answerUnread) m_dispenseGivenUp = true;
        m_linkFailed = true;  // worded from the status line at the end
        break;
    case ev::LinkEvent::PortLost:
        // A dispense-type frame on its way or answered by nothing yet may
        // have reached the module.
        if (m_answerUnread) m_dispenseGivenUp = true;
        m_exchangeOpen = false;
        m_portLost = true;
        if (m_lostPath.empty()) m_lostPath = m_dlg.m_Comm.ReopenPath();
        m_linkFailed = true;  // the console would wait for the port to come back; a run ends here
        break;
    default: break;
    }
}

void Session::Refused(const ev::Press&, ev::Refusal why, std::string_view detail) {
    switch (why) {
    case ev::Refusal::BadValues: m_paramRefused = true; break;
    case ev::Refusal::NoFile:
    case ev::Refusal::BadHexFile: m_fileRefused = true; break;
    case ev::Refusal::WrongPassword: m_passwordRefused = true; break;
    case ev::Refusal::LogFileFailed: m_logRefused = true; break;
    default: break;
    }
    if (m_refusedWhy.empty()) m_refusedWhy = std::string(detail);
}

void Session::Answered(const ev::Answer& a) {
    if (a.error > 0) ++m_deviceErrors;
    std::string errorText;
    if (a.error > 0) errorText = std::string(g_ErrorText[ErrorTextIndex(static_cast<std::uint8_t>(a.error))]);
    if (a.code == '~' && m_info.cmd == Cmd::Log) {
        // The log is reported once its frames have come.
        m_lastLogAt = Clock::now();
        if (a.awaited) m_exchangeOpen = false;
        return;
    }
    // Go Loader's and Reset's answers answer the frame just sent, though the
    // batch logic awaits neither: the loader's is reported with its notice.
    if (a.code == 'r' && m_lastFrame.type == cmd::kGoLoader && !m_loaderReplied) {
        m_loaderReplied = true;
        return;
    }
    if (a.code == 'D' && m_lastFrame.type == cmd::kReset && !m_resetReplied) {
        m_resetReplied = true;
        return;
    }
    Record r;
    r.command = std::string(m_info.name);
    r.code = a.code;
    r.error = std::max(a.error, 0);
    r.errorText = errorText;
    r.fields = DecodedFields(a.fields);
    if (!a.awaited) {
        // Answers nothing: shown as what it is, and it changes no count.  A
        // dispense-type or PURGE answer tells the notes it moved, counted nowhere.
        r.type = "unasked";
        r.caption = std::string("Unasked '") + static_cast<char>(a.code) + "'";
        if (a.counts) {
            r.fields = UnaskedCountFields(a);
            if (m_guarding) SetUncertain("an answer came after the last one was in");
            else if (m_dispenseGivenUp) SetUncertain("an answer came for a command given up on");
        }
        Emit(r);
        return;
    }
    m_exchangeOpen = false;
    m_answerUnread = false;
    r.type = "answer";
    ++m_answers;
    if (a.of > 0) {
        r.index = a.index;
        r.of = a.of;
        m_batchOf = a.of;
    }
    m_lastFields = r.fields;
    const Options& o = m_cfg.options;
    switch (m_info.cmd) {
    case Cmd::SetOpacity:
    case Cmd::SetLength:
    case Cmd::SetOrder: {
        // What the frame carried, read from the typed texts by the core's own rule.
        std::vector<std::string> sent;
        for (const auto& arg : o.args) {
            if (m_info.cmd == Cmd::SetOrder) {
                sent.push_back(std::to_string(ParseField(arg, 10)));
            } else {
                char buf[8];
                std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(ParseField(arg, 16)) & 0xFFu);
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
        r.fields.insert(r.fields.begin(), o.args.empty()
                                              ? NullField("box", "Box")
                                              : ScalarField("box", "Box", FieldKind::Dec, o.args[0]));
        break;
    default: break;
    }
    if (m_info.cmd == Cmd::Download) {
        r.top.push_back(StepField(m_step));
        if (a.code == 's' && m_lastFrame.kind == ev::NoteKind::Address) {
            const int addr = m_lastFrame.values[0];
            r.caption = "Write Prog";
            r.fields.push_back(
                ScalarField("block", "block", FieldKind::Dec, std::to_string(addr / kBlockSize + 1)));
            r.fields.push_back(
                ScalarField("address", "address", FieldKind::Hex, Hex4(static_cast<unsigned>(addr))));
        } else if (a.code == 't') {
            const unsigned sum = m_lastFrame.kind == ev::NoteKind::Sum
                                     ? static_cast<unsigned>(m_lastFrame.values[0])
                                     : m_imageSum.value_or(m_dlg.ImageSum());
            r.caption = "Verify";
            r.fields.push_back(ScalarField("image_sum", "image sum", FieldKind::Hex, Hex4(sum)));
        }
    } else {
        r.caption = CaptionOf(m_info.button);
    }
    Emit(r);
}

void Session::Noticed(const ev::Notice& n) {
    switch (n.kind) {
    case ev::NoticeKind::Acked:
        // Go Loader and Reset await no answer: their ACK ends the exchange.
        if (n.type == cmd::kGoLoader || n.type == cmd::kReset) m_exchangeOpen = false;
        if (n.type == cmd::kReset && m_step == "reset") m_resetAcked = true;
        break;
    case ev::NoticeKind::LoaderOk: m_loaderAnswered = true; break;
    case ev::NoticeKind::ImageLoaded:
        if (n.image) m_imageSum = n.image->sum;
        break;
    case ev::NoticeKind::BlockWritten: m_blocks = std::max(m_blocks, n.k); break;
    case ev::NoticeKind::DownloadDone:
        m_downloadDone = true;
        m_blocks = kBlockCount;
        m_verifySent = false;  // the console may run Verify by itself now
        break;
    case ev::NoticeKind::DownloadStopped:
        // k is the block it stopped at: the flash holds the blocks before it.
        // After "Downloading Done!" this withdraws it.
        m_blocks = std::max(0, n.k - 1);
        if (m_downloadDone) m_downloadWithdrawn = true;
        m_downloadDone = false;
        break;
    case ev::NoticeKind::VerifyOk: m_verify = Verify::Ok; break;
    case ev::NoticeKind::VerifyFailed: m_verify = Verify::Failed; break;
    case ev::NoticeKind::LogFileCreated: m_logPath = std::string(n.text); break;
    case ev::NoticeKind::LogWritten: m_lastLogAt = Clock::now(); break;
    case ev::NoticeKind::LogFileFailed:
        if (!m_logPath.empty()) m_logWriteFailed = true;
        break;
    case ev::NoticeKind::BatchUncertain: SetUncertain("an answer came that no send was waiting for"); break;
    case ev::NoticeKind::PortLost:
        if (m_lostPath.empty()) m_lostPath = std::string(n.text);
        Link(ev::LinkEvent::PortLost, n.port, {});
        break;
    default: break;
    }
}

int Session::OnBox(const fw::MessageBoxRecord& box) {
    if (box.yesNo) {
        if (m_step != "write-prog") {
            // OPEN asks whether to open a port another program merely has open.
            return m_cfg.options.shared ? fw::kIdYes : fw::kIdNo;
        }
        // Write Prog asks about a HEX file whose only faults are its
        // checksums.  Taken with --ignore-checksums, and said so in the
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
        m_trace = std::make_unique<trace::WireTrace>();
        std::string console = VersionText();  // "zantu-cli 1.2\n"
        while (!console.empty() && console.back() == '\n') console.pop_back();
        // Before the port opens: the header says none is open yet.
        m_traceFile = trace::FileSink::Open(*o.trace, &error, m_trace->HeaderNow(console));
        if (!m_traceFile) {
            Fail(EX_CANTCREAT, error);
            return Finish();
        }
        // A trace kept as a record must be whole: a line it could not take
        // fails the run (after the run's own result).
        m_traceFile->SetFailureReport([this](const std::string& text) {
            Note("zantu-cli: " + text);
            if (m_traceWhy.empty()) m_traceWhy = text;
        });
        m_trace->AddSink(m_traceFile.get());
        m_dlg.Subscribe(m_trace.get());
    }
    m_startMs = rec::SystemWallClockMs();
    m_recordRun = m_cfg.recordRun;
    m_recordRun.port = m_cfg.label.empty() ? m_cfg.portName : m_cfg.label;
    m_recordRun.command = std::string(m_info.name);
    if (m_cfg.record || m_cfg.keepBatch) {
        m_batchRecord = std::make_unique<rec::BatchRecord>();
        // Each answer's row goes out as it comes, so the file is whole up to
        // the moment even a killed run stopped.
        m_batchRecord->SetOnRow([this](const rec::AnswerRow& a) {
            if (!m_recordWhy.empty()) return;
            m_recordRun.arguments = m_batchRecord->Arguments();
            rec::Row row;
            row.timeMs = a.timeMs;
            row.run = &m_recordRun;
            row.answer = a.index;
            row.of = a.of;
            row.counts = a.counts;
            row.error = a.error;
            WriteRecordRow(row);
        });
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
        const ev::ImageIdentity id = image::Identify(o.args[0], r, scratch);
        m_imageCrc = id.crc32;
        m_imageSum = id.sum;
        Emit(ImageRecord(std::string(m_info.name), id));
    }
    if (m_info.cmd == Cmd::Log && o.dir) {
        std::error_code ec;
        std::filesystem::current_path(std::filesystem::u8path(*o.dir), ec);
        if (ec) {
            Fail(EX_CANTCREAT, "cannot use the directory " + *o.dir + ": " + ec.message());
            return Finish();
        }
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
        return !m_dlg.m_Comm.IsOpen() || m_dlg.m_Comm.UnsentBytes() == 0;
    };
    m_driver.RunUntil(drained, kDrainMax, 5ms);
}

bool Session::Open() {
    m_dlg.Create();
    if (m_cfg.com >= 1 && m_cfg.com <= 10 && m_cfg.com != 1) m_host.Click(ids::kCom[m_cfg.com - 1]);
    m_host.Click(ids::kOpen);
    if (m_opened) return true;
    std::string why = DescribeOpenError(m_dlg.m_Comm.LastOpenError(), PortAdvice::CommandLine);
    if (why.empty()) why = std::strerror(m_dlg.m_Comm.LastError() ? m_dlg.m_Comm.LastError() : EIO);
    Fail(kExitPortFailed, "cannot open " + m_cfg.portName + " (" + StatusLine() + "): " + why);
    return false;
}

bool Session::PressOnPage(int page, int id) {
    if (m_host.GetCurSel(ids::kTab) != page) m_host.SelectTab(ids::kTab, page);
    return m_host.Click(id);
}

bool Session::Drive(const std::function<bool()>& done) {
    auto over = [&] {
        DrawProgress(false);
        if (Stopping() && !m_stopSent) {
            // Nothing is sent after the exchange under way: no repeat send,
            // no further block.
            m_dlg.StopBatch();
            m_stopSent = true;
        }
        return done() || m_linkFailed || StopNow() || (Stopping() && !m_exchangeOpen);
    };
    while (!m_driver.RunUntil(over, std::chrono::hours(1))) {
    }
    const bool ok = done();
    if (!ok && Stopping()) m_cutShort = true;
    // A stop in a batch's Wait ends the batch at once: done, but not whole.
    if (m_stopSent && m_batchOf > 0 && m_answers < m_batchOf) m_cutShort = true;
    return ok;
}

bool Session::Halted() {
    if (!Stopping()) return false;
    m_cutShort = true;
    return true;
}

std::string Session::StatusLine() const { return m_dlg.m_strStatus; }

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
    Drive([&] { return m_idle; });
    ListenForQuiet();
}

std::vector<Field> Session::UnaskedCountFields(const ev::Answer& a) const {
    const ev::DispenseCounts& c = *a.counts;
    std::vector<Field> out;
    bool all = true;
    for (bool h : c.has) all = all && h;
    for (const AnswerField& row : FieldsOf('R', 0)) {
        const bool perBox = row.group.empty() && (row.key == "dispensed" || row.key == "rejected");
        const bool reason = row.group == "reasons";
        if (!perBox && !(reason && a.code != 'Q')) continue;  // sums and totals: counted nowhere
        Field f = FieldOfRow(row);
        if (perBox) {
            const int* v = row.key == "dispensed" ? c.dispensed : c.rejected;
            for (int b = 0; b < 4; ++b) f.values.push_back(std::to_string(v[b]));
            f.unknown = !all;  // a frame that ends before a box's counts
        } else {
            f.values.push_back(std::to_string(c.reasons[row.at[0]]));
        }
        out.push_back(std::move(f));
    }
    return out;
}

void Session::SetUncertain(std::string why) {
    if (m_uncertain) return;
    m_uncertain = true;
    m_uncertainWhy = std::move(why);
}

void Session::ListenForQuiet() {
    const bool counting = m_info.cmd == Cmd::Dispense || m_info.cmd == Cmd::TestDispense ||
                          m_info.cmd == Cmd::Zigzag || m_info.cmd == Cmd::Purge;
    if (!counting || m_lastFrame.type == 0 || m_portLost || Stopping()) return;
    // A run the link gave up on listens too: a late answer is told with its numbers.
    if (m_linkFailed && !m_dispenseGivenUp) return;
    m_guarding = true;
    const auto start = Clock::now();
    auto quiet = [&] {
        const auto now = Clock::now();
        return now - std::max(m_lastRxAt, start) >= kQuietGuard || now - start >= kQuietGuardMax;
    };
    m_driver.RunUntil([&] { return quiet() || m_portLost || Stopping(); }, kQuietGuardMax + kQuietGuard, 50ms);
    m_guarding = false;
    if (m_portLost || Stopping()) return;
    if (Clock::now() - std::max(m_lastRxAt, start) < kQuietGuard)
        SetUncertain("the line did not fall quiet after the last answer");
}

void Session::RunLog() {
    if (!PressOnPage(kPageStatus, ids::kLog)) {
        Fail(EX_SOFTWARE, "the LOG button could not be pressed");
        return;
    }
    if (m_passwordRefused) {
        Fail(EX_NOPERM, "wrong service password; nothing was sent");
        return;
    }
    if (m_logRefused) {
        Fail(EX_CANTCREAT, "the log file could not be created; nothing was sent");
        return;
    }
    if (!Drive([&] { return m_idle; }) || m_linkFailed) return;
    // Further log frames may follow the answer; they are appended as they come.
    m_lastLogAt = Clock::now();
    const auto end = Clock::now() + std::chrono::milliseconds(kResponseFirstMs);
    Drive([&] { return Clock::now() - m_lastLogAt >= kLogQuiet || Clock::now() >= end; });

    std::error_code ec;
    const std::uintmax_t size = m_logPath.empty() ? 0 : std::filesystem::file_size(std::filesystem::u8path(m_logPath), ec);
    const bool have = !m_logPath.empty() && !ec;
    Record r;
    r.type = "answer";
    r.command = std::string(m_info.name);
    r.caption = "LOG";
    r.code = '~';
    r.fields.push_back(ScalarField("file", "file", FieldKind::Text, m_logPath));
    r.fields.push_back(have ? ScalarField("bytes", "bytes", FieldKind::Dec, std::to_string(size))
                            : NullField("bytes", "bytes"));
    ++m_answers;
    Emit(r);
    if (m_logWriteFailed) Fail(EX_IOERR, "writing the log file " + m_logPath + " failed");
}

void Session::RunDownload() {
    const Options& o = m_cfg.options;
    std::error_code ec;
    const std::filesystem::path abs = std::filesystem::absolute(std::filesystem::u8path(o.args[0]), ec);
    const std::string path = ec ? o.args[0] : PathText(abs);
    m_host.m_answerFile = [path](std::string_view) { return std::optional<std::string>(path); };

    m_step = "go-loader";
    if (!PressOnPage(kPageDownload, ids::kGoLoader)) {
        Fail(EX_SOFTWARE, "the Go Loader button could not be pressed");
        return;
    }
    const auto loaderEnd = Clock::now() + kLoaderAnswerWait;
    Drive([&] { return m_loaderReplied || Clock::now() >= loaderEnd; });
    if (m_linkFailed || Halted()) return;
    if (!m_loaderAnswered) {
        if (m_deviceErrors > 0) return;  // the loader answered with a device error
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
    if (Halted()) return;

    m_step = "write-prog";
    if (!PressOnPage(kPageDownload, ids::kWriteProg)) {
        Fail(EX_SOFTWARE, "the Write Prog button could not be pressed");
        return;
    }
    if (m_fileRefused) {
        Fail(EX_DATAERR, "the console refused the HEX file " + path +
                             (m_refusedWhy.empty() ? std::string() : ": " + m_refusedWhy));
        return;
    }
    Drive([&] { return m_idle; });
    DrawProgress(true);
    ClearProgress();
    if (!m_downloadDone && Stopping()) m_cutShort = true;
    if (!m_downloadDone || m_linkFailed) return;
    if ((o.verify || o.reset) && Halted()) return;

    if (o.verify) {
        m_step = "verify";
        // One Verify a download: not again when the console runs it by itself.
        if (!m_verifySent && !PressOnPage(kPageDownload, ids::kVerify)) {
            Fail(EX_SOFTWARE, "the Verify button could not be pressed");
            return;
        }
        Drive([&] { return m_idle && m_verify != Verify::NotRun; });
        if (m_verify != Verify::Ok || m_linkFailed || !m_downloadDone) return;
        if (o.reset && Halted()) return;
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
    } else if (r.type == "answer" && r.code == 's' && r.error == 0) {
        return;  // a written block: the progress bar shows it
    } else {
        text = Labelled(m_cfg.label, FormatHuman(r));
    }
    ClearProgress();
    if (m_outputFailed) return;  // the output is gone: nothing more goes there
    errno = 0;
    const bool ok =
        std::fwrite(text.data(), 1, text.size(), m_cfg.out) == text.size() && std::fflush(m_cfg.out) == 0;
    if (!ok) {
        // A reader that went away (a pipe closed) or a full or broken file:
        // the run stops after the exchange under way, as after Ctrl+C.
        m_outputFailed = true;
        m_outputErrno = errno ? errno : EIO;
    }
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

std::vector<Field> Session::BatchFields() const {
    // The batch's sums and totals, as the last answer told them; the last
    // answer's own counts are in its record.  When a send's answer never came
    // the module may have moved notes that no answer counted: its counts are
    // unknown, and only its request is added.
    std::vector<Field> out;
    int unreadRequest = 0;
    if (m_answerUnread && m_lastFrame.kind == ev::NoteKind::Counts)
        for (int i = 0; i < m_lastFrame.count && i < 4; ++i) unreadRequest += m_lastFrame.values[i];
    for (const AnswerField& row : FieldsOf('R', 0)) {
        if (row.group.empty() && (row.key == "dispensed" || row.key == "rejected")) continue;
        Field f = FieldOfRow(row);
        for (const Field& g : m_lastFields)
            if (g.key == f.key && g.group == f.group) f.values = g.values;
        if (f.values.empty()) f.values.assign(static_cast<std::size_t>(row.count), "0");
        if (m_answerUnread) {
            if (row.key != "requested") {
                f.unknown = true;
            } else if (row.src == FieldSource::Request && m_lastFrame.kind == ev::NoteKind::Counts) {
                for (std::size_t b = 0; b < f.values.size() && b < 4; ++b)
                    f.values[b] = std::to_string(m_lastFrame.values[b]);
            } else if (!f.values.empty()) {
                f.values[0] = std::to_string(std::atoi(f.values[0].c_str()) + unreadRequest);
            }
        }
        out.push_back(std::move(f));
    }
    return out;
}

RunFacts Session::Facts() const {
    RunFacts f;
    f.stopped = m_cfg.stop && m_cfg.stop->load() >= 1;
    f.timedOut = f.stopped && m_cfg.timedOut && m_cfg.timedOut->load();
    f.stoppedWhole = f.stopped && !f.timedOut && m_cfg.stop->load() == 1;
    f.recordWhy = m_recordWhy;
    f.stopExit = m_cfg.stopExit ? m_cfg.stopExit() : 130;
    f.timeoutSec = m_cfg.timeoutSec;
    f.failExit = m_failExit;
    f.failWhy = m_failWhy;
    f.linkFailed = m_linkFailed;
    f.linkWhy = m_linkWhy.empty() ? StatusLine() : m_linkWhy;
    f.lostPath = m_lostPath;
    // A stop at once while a dispense-type frame awaited its answer gives it up too.
    f.dispenseGivenUp = m_dispenseGivenUp || (f.stopped && m_answerUnread);
    f.traceWhy = m_traceWhy;
    f.outputFailed = m_outputFailed;
    f.outputClosed = m_outputErrno == EPIPE;
    if (m_outputFailed && !f.outputClosed) f.outputWhy = std::strerror(m_outputErrno);
    f.cutShort = m_cutShort;
    f.deviceErrors = m_deviceErrors;
    f.uncertain = m_uncertain;
    f.uncertainWhy = m_uncertainWhy;
    // A batch that ended before its last run, with no device error (which
    // ends a batch by design) and no other cause, did not do what was asked.
    if (!f.uncertain && m_batchOf > 1 && m_answers < m_batchOf && m_deviceErrors == 0) {
        f.uncertain = true;
        f.uncertainWhy = "the batch stopped after " + std::to_string(m_answers) + " of " +
                         std::to_string(m_batchOf) + " runs";
    }
    f.download = m_info.cmd == Cmd::Download;
    f.downloadDone = m_downloadDone;
    f.flashPartial = f.download && !m_downloadDone && (m_step == "write-prog" || m_downloadWithdrawn);
    f.blocks = m_blocks;
    return f;
}

int Session::Finish() {
    ClearProgress();
    const bool download = m_info.cmd == Cmd::Download;
    const RunFacts facts = Facts();
    const Verdict verdict = Judge(facts);
    int rc = verdict.exit;
    std::string message = verdict.message;
    if (rc != kExitOk) Note("zantu-cli: " + message);
    m_result = std::string(res::Word(verdict.result));

    Record s;
    s.type = "summary";
    s.command = std::string(m_info.name);
    s.top.push_back(ScalarField("exit", "exit", FieldKind::Dec, std::to_string(rc)));
    s.top.push_back(ScalarField("result", "result", FieldKind::Text, m_result));
    s.top.push_back(ScalarField("message", "message", FieldKind::Text, message));
    s.top.push_back(ScalarField("answers", "answers", FieldKind::Dec, std::to_string(m_answers)));
    s.top.push_back(
        ScalarField("device_errors", "device errors", FieldKind::Dec, std::to_string(m_deviceErrors)));
    // The counts cannot be vouched for (also when another result comes first).
    if (facts.uncertain) s.top.push_back(ScalarField("uncertain", "uncertain", FieldKind::Flag, "1"));
    s.top.push_back(ScalarField("status", "status", FieldKind::Text, StatusLine()));

    Record human;  // what a person reads after the answers, when there is more to say
    human.type = "summary";
    if ((m_info.options & kOptBatch) && m_opened) {
        const int repeat = m_batchOf > 0 ? m_batchOf : m_dlg.m_nRepeat;
        s.fields.push_back(ScalarField("repeat", "Repeat", FieldKind::Dec, std::to_string(repeat)));
        s.fields.push_back(ScalarField("wait", "Wait", FieldKind::Dec, std::to_string(m_dlg.m_nWaitSec)));
        if (m_info.cmd != Cmd::LastStat)
            for (Field& f : BatchFields()) s.fields.push_back(std::move(f));
        if (m_batchOf > 1 || m_answerUnread) {
            human.caption = CaptionOf(m_info.button) + " batch";
            human.top.push_back(ScalarField("answers", "answers", FieldKind::Dec, std::to_string(m_answers)));
            human.fields = s.fields;
        }
    }
    if (facts.uncertain) {  // said in words to a person too
        if (human.caption.empty()) {
            human.caption = CaptionOf(m_info.button);
            human.top.push_back(ScalarField("answers", "answers", FieldKind::Dec, std::to_string(m_answers)));
        }
        human.top.push_back(ScalarField("counts", "counts", FieldKind::Text,
                                        "UNCERTAIN (" + facts.uncertainWhy + "): check LAST STAT"));
    }
    if (download && m_opened) {
        s.fields.push_back(ScalarField("blocks", "blocks", FieldKind::Dec, std::to_string(m_blocks)));
        s.fields.push_back(
            ScalarField("downloaded", "downloaded", FieldKind::Flag, m_downloadDone ? "1" : "0"));
        s.fields.push_back(
            ScalarField("verified", "verified", FieldKind::Flag, m_verify == Verify::Ok ? "1" : "0"));
        s.fields.push_back(ScalarField("reset", "reset", FieldKind::Flag, m_resetAcked ? "1" : "0"));
        s.fields.push_back(ScalarField("image_sum", "image sum", FieldKind::Hex,
                                       Hex4(m_imageSum.value_or(m_dlg.ImageSum()))));
        human.caption = "Write Prog";
        human.top.push_back(ScalarField("blocks", "blocks", FieldKind::Dec,
                                        std::to_string(m_blocks) + "/" + std::to_string(kBlockCount)));
        if (m_cfg.options.verify) {
            const char* v = m_verify == Verify::Ok       ? "O.K."
                            : m_verify == Verify::Failed ? "failed"
                                                         : "not run";
            human.top.push_back(ScalarField("verify", "Verify", FieldKind::Text, v));
        }
        if (m_cfg.options.reset)
            human.top.push_back(
                ScalarField("reset", "Reset", FieldKind::Text, m_resetAcked ? "sent" : "not sent"));
    }
    // The record's last row: the same word, status, message and numbers as
    // this summary.
    if (!WriteRecordEnd(rc, message, s.fields) && rc == kExitOk) {
        rc = EX_IOERR;
        m_result = ResultWord(rc);
        message = m_recordWhy;
        for (Field& f : s.top) {
            if (f.key == "exit") f.values = {std::to_string(rc)};
            if (f.key == "result") f.values = {m_result};
            if (f.key == "message") f.values = {message};
        }
    }

    if (!m_cfg.label.empty() && !m_cfg.options.json) {  // each port its summary line
        if (human.caption.empty()) {
            human.caption = CaptionOf(m_info.button);
            human.top.push_back(ScalarField("answers", "answers", FieldKind::Dec, std::to_string(m_answers)));
        }
        human.top.push_back(ScalarField("result", "result", FieldKind::Text, m_result));
    }
    m_summary = s;
    if (m_cfg.options.json)
        Emit(s);
    else if (!human.caption.empty())
        Emit(human);
    if (m_outputFailed && m_outputErrno != EPIPE && rc == kExitOk) {
        std::fprintf(m_cfg.err, "zantu-cli: writing the output failed: %s\n", std::strerror(m_outputErrno));
        rc = EX_IOERR;
    }
    return rc;
}

bool Session::WriteRecordRow(const rec::Row& row) {
    if (!m_cfg.record || !m_recordWhy.empty()) return false;
    std::unique_lock<std::mutex> lock;
    if (m_cfg.recordLock) lock = std::unique_lock(*m_cfg.recordLock);
    if (m_cfg.record->Write(row)) return true;
    m_recordWhy = m_cfg.record->Failed() && !m_cfg.record->Error().empty() ? m_cfg.record->Error()
                                                                           : "cannot write the record file";
    Note("zantu-cli: " + m_recordWhy);
    return false;
}

namespace {

// The values of a summary field (by its key and group) as numbers; none when
// the field is unknown or missing.
std::optional<std::vector<int>> Values(const std::vector<Field>& fields, std::string_view key,
                                       std::string_view group = {}) {
    for (const Field& f : fields) {
        if (f.key != key || f.group != group) continue;
        if (f.unknown || f.values.empty()) return std::nullopt;
        std::vector<int> v;
        for (const std::string& t : f.values) v.push_back(std::atoi(t.c_str()));
        return v;
    }
    return std::nullopt;
}

}  // namespace

bool Session::WriteRecordEnd(int exitCode, const std::string& message, const std::vector<Field>& jsonFields) {
    if (!m_cfg.record || !m_recordWhy.empty()) return m_recordWhy.empty();
    const std::int64_t now = rec::SystemWallClockMs();
    rec::Row row;
    row.run = &m_recordRun;
    row.timeMs = now;
    row.result = m_result;
    row.exitStatus = exitCode;
    row.message = message;
    if (m_info.cmd == Cmd::Download) {
        // The flashing record: one row a download, whatever its end.
        rec::DownloadFields d;
        d.image = m_cfg.options.args.empty() ? std::string() : m_cfg.options.args[0];
        d.crc32 = m_imageCrc;
        d.sum = m_imageSum;
        if (m_opened) d.blocks = m_blocks;
        d.verify = m_verify == Verify::Ok ? "ok" : m_verify == Verify::Failed ? "failed" : "";
        m_recordRun.arguments = d.image;
        if (!m_cfg.options.verify) m_recordRun.arguments += " --no-verify";
        if (m_cfg.options.reset) m_recordRun.arguments += " --reset";
        row.kind = rec::Row::Kind::Download;
        row.startMs = m_startMs;
        row.download = &d;
        return WriteRecordRow(row);
    }
    if (!m_batchRecord || m_batchRecord->Info().number == 0) return true;
    // The batch's summary from the numbers of the JSON summary, so the two
    // agree field by field; what it does not know is left empty.
    m_recordRun.arguments = m_batchRecord->Arguments();
    row.kind = rec::Row::Kind::Summary;
    row.startMs = m_batchRecord->Info().startMs;
    row.answer = m_answers;
    row.error = m_batchRecord->LastError();
    const auto repeat = Values(jsonFields, "repeat");
    row.of = repeat && !repeat->empty() ? (*repeat)[0] : m_batchRecord->Info().repeat;
    const rec::Summary fallback = m_batchRecord->Summary();
    row.counts = fallback.counts;
    const auto request = Values(jsonFields, "requested");
    const auto totalRequested = Values(jsonFields, "requested", "total");
    int perSend = 0;
    if (request)
        for (int v : *request) perSend += v;
    if (request && totalRequested && perSend > 0 && request->size() == rec::kBoxes)
        for (int b = 0; b < rec::kBoxes; ++b)
            row.counts.requested[b] = (*request)[static_cast<std::size_t>(b)] * ((*totalRequested)[0] / perSend);
    const auto dispensed = Values(jsonFields, "dispensed_sum");
    const auto rejected = Values(jsonFields, "rejected_sum");
    row.countsKnown = dispensed && rejected && dispensed->size() == rec::kBoxes && rejected->size() == rec::kBoxes;
    if (row.countsKnown) {
        for (int b = 0; b < rec::kBoxes; ++b) {
            row.counts.dispensed[b] = (*dispensed)[static_cast<std::size_t>(b)];
            row.counts.rejected[b] = (*rejected)[static_cast<std::size_t>(b)];
        }
        static constexpr std::string_view kReasonKeys[rec::kReasons] = {"reject", "rvdt", "len", "skw",
                                                                        "dst",    "flen", "fdst"};
        for (int k = 0; k < rec::kReasons; ++k) {
            const auto v = Values(jsonFields, kReasonKeys[k], "reasons");
            if (!v || v->empty()) row.countsKnown = false;
            else row.counts.reasons[k] = (*v)[0];
        }
    }
    return WriteRecordRow(row);
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
