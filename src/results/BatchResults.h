// A dispense batch of the batch record in the results database.  zantu-cli's
// steps and the window's batches take their answer rows from AnswerRowsOf;
// the window writes each batch as zantu-cli writes a plain command with
// --record: a run of its own (the console as its tool) and its unit when the
// batch begins, then one step with the batch's answers, the unit's verdict
// and the run's result when it ends.  A window closed during a batch ends it
// as interrupted (rec::BatchFiles); one killed outright leaves "running".
#pragma once

#include "records/BatchFiles.h"
#include "records/BatchRecord.h"
#include "results/ResultsWriter.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace db {

// The answers a batch record keeps, as rows of the answers table.
std::vector<AnswerRow> AnswerRowsOf(const rec::BatchRecord& record);

// Called on the thread of the batch record's files (the window's).
class BatchResults final : public rec::BatchSink {
public:
    // target: the database, opened when the first batch begins (and again
    // after it could not be opened or written); tool: "zantu-console 1.2".
    BatchResults(std::string target, std::string tool);
    ~BatchResults() override;

    // Where a database that cannot be opened or written is said: once,
    // until a batch is written whole again.  The batches and their files
    // go on without it.
    void SetProblemReporter(std::function<void(const std::string&)> report) { m_report = std::move(report); }
    // The last problem ("" since a batch was written whole).
    const std::string& Problem() const { return m_problem; }

    void Began(const rec::BatchRecord& record, const rec::RunFields& fields) override;
    void Ended(const rec::BatchRecord& record, const rec::RunFields& fields) override;

private:
    void Fail(const std::string& why);

    std::string m_target, m_tool;
    std::unique_ptr<ResultsWriter> m_writer;
    std::uint64_t m_batch = 0;  // the batch whose run and unit were written
    std::string m_port;         // its unit's port
    std::string m_problem;
    bool m_said = false;
    std::function<void(const std::string&)> m_report;
};

}  // namespace db
