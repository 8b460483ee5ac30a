#include "results/BatchResults.h"

#include "records/RunResult.h"

namespace db {

std::vector<AnswerRow> AnswerRowsOf(const rec::BatchRecord& record) {
    std::vector<AnswerRow> out;
    if (record.Info().number == 0) return out;
    const std::string command(rec::CommandName(record.Info().type));
    out.reserve(record.Rows().size());
    for (const rec::AnswerRow& a : record.Rows()) {
        AnswerRow r;
        r.answer = a.index;
        r.of = a.of;
        r.timeMs = a.timeMs;
        r.command = command;
        for (std::size_t i = 0; i < rec::kBoxes; ++i) {
            r.requested[i] = a.counts.requested[i];
            r.dispensed[i] = a.counts.dispensed[i];
            r.rejected[i] = a.counts.rejected[i];
        }
        for (std::size_t i = 0; i < rec::kReasons; ++i) r.reasons[i] = a.counts.reasons[i];
        r.error = a.error;
        out.push_back(r);
    }
    return out;
}

BatchResults::BatchResults(std::string target, std::string tool)
    : m_target(std::move(target)), m_tool(std::move(tool)) {}

BatchResults::~BatchResults() = default;

void BatchResults::Fail(const std::string& why) {
    m_writer.reset();  // opened again for the next batch
    m_batch = 0;
    m_problem = why + " (the batch's rows are not in the results database; its file is written)";
    if (m_said) return;
    m_said = true;
    if (m_report) m_report(m_problem);
}

void BatchResults::Began(const rec::BatchRecord& record, const rec::RunFields& fields) {
    m_batch = 0;
    if (!m_writer) {
        std::string why;
        std::unique_ptr<Connection> c = OpenMigrated(m_target, &why);
        if (!c) return Fail(why);
        m_writer = std::make_unique<ResultsWriter>(std::move(c));
    }
    m_port = fields.port;
    const std::string unit = fields.unit.empty() ? fields.port : fields.unit;
    if (!m_writer->StartRun(NewRunRow(std::string(rec::CommandName(record.Info().type)), m_tool)) ||
        !m_writer->StartUnit(m_port, unit))
        return Fail(m_writer->Error());
    m_batch = record.Info().number;
}

void BatchResults::Ended(const rec::BatchRecord& record, const rec::RunFields& fields) {
    if (!m_writer || m_batch != record.Info().number) return;  // its start is not there
    m_batch = 0;
    const std::string result(rec::OutcomeWord(record.Result()));
    const bool ok = record.Result() == rec::Outcome::Ok;
    // The exit status zantu-cli gives for the result (stopped, interrupted: its Ctrl+C's).
    int exit = 130;
    for (const res::ResultRow& row : res::kResults)
        if (row.word == result && row.exit != res::kBySignal) exit = row.exit;
    StepRow step;
    step.port = m_port;
    step.index = 1;
    step.name = fields.command;
    step.command = fields.command;
    step.arguments = fields.arguments;
    step.outcome = ok ? "pass" : "error";
    step.result = result;
    step.startMs = record.Info().startMs;
    step.endMs = record.EndMs();
    if (!m_writer->WriteStep(step, AnswerRowsOf(record), nullptr) ||
        !m_writer->EndUnit(m_port, step.outcome, exit, {}, {}, {}) || !m_writer->EndRun(result, exit))
        return Fail(m_writer->Error());
    m_problem.clear();
    m_said = false;
}

}  // namespace db
