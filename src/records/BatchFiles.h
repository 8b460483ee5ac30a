// Every dispense batch's record file: batch_YYMMDD_HHMMSS.csv in the records
// folder (batch_..._2.csv for a second batch in the same second), made when
// the batch begins, its answers added as they come, its summary row written
// when it ends.  The window's back-end calls WriteNewRows on a timer, so the
// console's events only copy a few numbers.  A folder that cannot be written
// is said once; the batch goes on.
#pragma once

#include "records/BatchRecord.h"
#include "records/RecordWriter.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace rec {

// The columns the window knows: port (COM n), command and arguments.
RunFields RunFieldsOf(const BatchRecord& record);
// The file name's part for a unit: its ASCII letters, digits, '.', '-' and
// '_' (others become '_'), at most 40; "" for none.
std::string UnitForFileName(std::string_view unit);

// What else keeps the batches (the window's results database): told when
// the files first see a batch, and once when it has ended (its file written
// as far as it could be), whether or not its file could be made.
class BatchSink {
public:
    virtual ~BatchSink() = default;
    virtual void Began(const BatchRecord& record, const RunFields& fields) = 0;
    virtual void Ended(const BatchRecord& record, const RunFields& fields) = 0;
};

class BatchFiles {
public:
    // record must outlive this.  A batch begun anew first writes what the
    // last one's file lacks.
    BatchFiles(BatchRecord& record, std::string recordsDir);
    ~BatchFiles();
    BatchFiles(const BatchFiles&) = delete;
    BatchFiles& operator=(const BatchFiles&) = delete;

    // Writes what the file lacks of the record.  When the program ends
    // during a batch (the destructor), the batch ends as interrupted and its
    // summary row is written.
    void WriteNewRows();

    // The unit under test (the window's Unit field): written into the rows
    // and the file name (batch_YYMMDD_HHMMSS_UNIT.csv) of the batches that
    // begin from now on.
    void SetUnit(std::string unit) { m_unit = std::move(unit); }
    const std::string& Unit() const { return m_unit; }
    // The program's name and version for the rows ("zantu-console 1.2").
    void SetVersion(std::string version) { m_base.version = std::move(version); }
    // The fields of every row of the running or last batch.
    RunFields Fields() const;

    const std::string& RecordsDir() const { return m_dir; }
    // The file of the running or last batch ("" before any, or when it could
    // not be made).
    const std::string& CurrentFile() const { return m_filePath; }
    // Why the last batch's file could not be made or written ("" when it could).
    const std::string& Problem() const { return m_problem; }
    // Where a problem is said, once until a file can be made again.
    void SetProblemReporter(std::function<void(const std::string&)> report) { m_report = std::move(report); }
    // sink (none: null) must outlive this or be set to none first.
    void SetSink(BatchSink* sink) { m_sink = sink; }

private:
    void Say(const std::string& text);
    void WriteFile();

    BatchRecord& m_record;
    std::string m_dir;
    std::uint64_t m_batch = 0;     // the batch of the file
    std::size_t m_written = 0;     // its rows in the file
    bool m_summaryWritten = true;  // its summary row is in the file
    std::unique_ptr<RecordWriter> m_file;
    std::string m_filePath;
    std::string m_problem;
    bool m_said = false;
    std::function<void(const std::string&)> m_report;
    BatchSink* m_sink = nullptr;
    bool m_sinkEnded = true;  // the sink was told the end of the file's batch
    RunFields m_base;         // the run's id, the station and the version
    std::string m_unit;       // the Unit field
    std::string m_batchUnit;  // the unit of the file's batch
};

}  // namespace rec
