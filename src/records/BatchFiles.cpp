#include "records/BatchFiles.h"

#include <ctime>
#include <filesystem>
#include <system_error>

namespace rec {

namespace {

// "batch_YYMMDD_HHMMSS" of a local time in ms since the epoch.
std::string Stem(std::int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tmv{};
    localtime_r(&t, &tmv);
    char buf[32];
    std::strftime(buf, sizeof buf, "batch_%y%m%d_%H%M%S", &tmv);
    return buf;
}

}  // namespace

RunFields RunFieldsOf(const BatchRecord& record) {
    RunFields f;
    if (record.Info().port > 0) f.port = "COM" + std::to_string(record.Info().port);
    f.command = std::string(CommandName(record.Info().type));
    f.arguments = record.Arguments();
    return f;
}

std::string UnitForFileName(std::string_view unit) {
    std::string out;
    for (char c : unit) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '-' || c == '_';
        out += keep ? c : '_';
        if (out.size() == 40) break;
    }
    return out;
}

RunFields BatchFiles::Fields() const {
    RunFields f = RunFieldsOf(m_record);
    f.unit = m_batchUnit;
    f.run = m_base.run;
    f.station = m_base.station;
    f.version = m_base.version;
    return f;
}

BatchFiles::BatchFiles(BatchRecord& record, std::string recordsDir)
    : m_record(record), m_dir(std::move(recordsDir)) {
    m_base.run = NewRunId();
    m_base.station = HostName();
    // A new batch drops the last one's rows: what the file lacks goes out first.
    m_record.SetBeforeNewBatch([this] { WriteNewRows(); });
}

BatchFiles::~BatchFiles() {
    m_record.SetBeforeNewBatch(nullptr);
    // A batch cut short by the end of the program keeps what came, and its
    // summary says it was interrupted.
    if (m_record.Running()) m_record.Interrupt();
    WriteNewRows();
}

void BatchFiles::Say(const std::string& text) {
    m_problem = text;
    if (m_said) return;
    m_said = true;
    if (m_report) m_report(text);
}

void BatchFiles::WriteNewRows() {
    if (m_record.Info().number == 0) return;
    const bool begun = m_record.Info().number != m_batch;
    WriteFile();
    if (begun) m_sinkEnded = false;
    if (!m_sink) return;
    if (begun) m_sink->Began(m_record, Fields());
    if (!m_record.Running() && !m_sinkEnded) {
        m_sinkEnded = true;
        m_sink->Ended(m_record, Fields());
    }
}

void BatchFiles::WriteFile() {
    const BatchInfo& info = m_record.Info();
    if (info.number != m_batch) {
        // A batch the file has not seen: the last one's file is complete (its
        // summary went out when it ended, or just before this one began).
        m_file.reset();
        m_batch = info.number;
        m_written = 0;
        m_summaryWritten = false;
        m_filePath.clear();
        m_problem.clear();
        m_batchUnit = m_unit;  // the unit when the batch began, for all its rows
        const std::string unitPart = UnitForFileName(m_batchUnit);
        const std::string stem = m_dir + "/" + Stem(info.startMs) + (unitPart.empty() ? "" : "_" + unitPart);
        std::string error;
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::u8path(m_dir), ec);
        if (!std::filesystem::is_directory(std::filesystem::u8path(m_dir), ec)) {
            error = "cannot make the records folder " + m_dir;
        } else {
            // Two batches in one second: the second file is batch_..._2.csv.
            for (int n = 1; n <= 99 && !m_file; ++n) {
                const std::string path = n == 1 ? stem + ".csv" : stem + "_" + std::to_string(n) + ".csv";
                m_file = RecordWriter::Open(path, RecordWriter::Mode::CreateNew, Format::Csv, &error);
                if (m_file)
                    m_filePath = path;
                else if (!std::filesystem::exists(std::filesystem::u8path(path), ec))
                    break;  // not a name taken: the folder refuses
            }
        }
        if (m_file)
            m_said = false;
        else
            Say(error + " (the batch goes on without its file)");
    }
    if (!m_file) return;
    const RunFields run = Fields();
    const auto rows = m_record.Rows();
    while (m_written < rows.size() && m_file->WriteAnswer(run, rows[m_written])) ++m_written;
    if (!m_record.Running() && !m_summaryWritten && !m_file->Failed()) {
        m_summaryWritten =
            m_file->WriteSummary(run, m_record, m_record.EndMs() ? m_record.EndMs() : SystemWallClockMs());
        if (m_summaryWritten) m_file.reset();  // closed: the batch is over
    }
    if (m_file && m_file->Failed()) {
        Say(m_file->Error());
        m_file.reset();
    }
}

}  // namespace rec
