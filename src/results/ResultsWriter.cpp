#include "results/ResultsWriter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace db {

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string LocalTime(std::int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    const int off = static_cast<int>(tm.tm_gmtoff / 60) % (24 * 60);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d%c%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000),
                  off < 0 ? '-' : '+', (off < 0 ? -off : off) / 60, (off < 0 ? -off : off) % 60);
    return buf;
}

namespace {

Value OrNull(const std::string& s) { return s.empty() ? Null() : Text(s); }

// A batch's answers go in statements of this many rows each: one round trip
// to a server per statement, not per answer (27 parameters a row stays far
// below both back-ends' limits).
constexpr std::size_t kAnswersPerInsert = 100;
constexpr std::size_t kAnswerColumns = 27;

std::string InsertAnswers(std::size_t rows) {
    std::string sql =
        "INSERT INTO answers (run_id, port, step_index, answer, answers_of, time, command, "
        "requested_1, requested_2, requested_3, requested_4, dispensed_1, dispensed_2, dispensed_3, dispensed_4, "
        "rejected_1, rejected_2, rejected_3, rejected_4, reason_reject, reason_rvdt, reason_len, reason_skw, "
        "reason_dst, reason_flen, reason_fdst, error) VALUES ";
    std::size_t n = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        sql += r ? ", (" : "(";
        for (std::size_t c = 0; c < kAnswerColumns; ++c) sql += (c ? ", $" : "$") + std::to_string(++n);
        sql += ")";
    }
    return sql;
}

}  // namespace

ResultsWriter::ResultsWriter(std::unique_ptr<Connection> primary,
                             std::function<std::unique_ptr<Connection>(std::string*)> fallback)
    : m_conn(std::move(primary)), m_fallback(std::move(fallback)) {}

bool ResultsWriter::Apply(Connection& c, const std::vector<Statement>& stmts) {
    if (!c.Begin()) return false;
    for (const Statement& s : stmts)
        if (!c.Run(s.sql, s.params)) {
            c.Rollback();
            return false;
        }
    if (c.Commit()) return true;
    c.Rollback();
    return false;
}

bool ResultsWriter::Transaction(std::vector<Statement> stmts) {
    if (Apply(*m_conn, stmts)) {
        m_journal.insert(m_journal.end(), stmts.begin(), stmts.end());
        return true;
    }
    const std::string why = m_conn->Error();
    if (m_fellBack || !m_fallback || m_conn->Kind() != "postgresql") {
        m_error = "writing the results to " + m_conn->Name() + " failed: " + why;
        return false;
    }
    // The server went away: the run so far, and this, go to the station's file.
    std::string openWhy;
    std::unique_ptr<Connection> local = m_fallback(&openWhy);
    std::string migrateWhy;
    if (!local || !Migrate(*local, &migrateWhy)) {
        m_error = "writing the results to " + m_conn->Name() + " failed (" + why +
                  ") and the station's file could not take them: " + (local ? migrateWhy : openWhy);
        return false;
    }
    std::vector<Statement> all = m_journal;
    all.insert(all.end(), stmts.begin(), stmts.end());
    all.push_back({"INSERT INTO pending_push (run_id, server) VALUES ($1, $2)", {Text(m_runId), Text(m_conn->Name())}});
    if (!Apply(*local, all)) {
        m_error = "writing the results to " + local->Name() + " failed: " + local->Error();
        return false;
    }
    m_fallbackWhy = "the results server " + m_conn->Name() + " failed (" + why + "); the run is kept in " +
                    local->Name() + " until zantu-cli results --push";
    m_conn = std::move(local);
    m_fellBack = true;
    m_journal = std::move(all);
    return true;
}

bool ResultsWriter::StartRun(const RunRow& r) {
    std::lock_guard lock(m_lock);
    m_runId = r.runId;
    m_journal.clear();
    return Transaction({{"INSERT INTO runs (run_id, station, operator, command, plan, plan_hash, tool_version, "
                         "started, result) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, 'running')",
                         {Text(r.runId), Text(r.station), Text(r.operatorName), Text(r.command), OrNull(r.plan),
                          OrNull(r.planHash), Text(r.toolVersion), Text(LocalTime(NowMs()))}}});
}

bool ResultsWriter::StartUnit(const std::string& port, const std::string& unit) {
    std::lock_guard lock(m_lock);
    return Transaction({{"INSERT INTO units (run_id, port, unit, verdict) VALUES ($1, $2, $3, 'running')",
                         {Text(m_runId), Text(port), Text(unit)}}});
}

bool ResultsWriter::WriteStep(const StepRow& s, const std::vector<AnswerRow>& answers, const DownloadRow* d) {
    std::vector<Statement> stmts;
    stmts.reserve(answers.size() / kAnswersPerInsert + 3);
    // The run's id (each statement's first parameter, and each answer row's)
    // is set under the lock.
    stmts.push_back({"INSERT INTO steps (run_id, port, step_index, name, command, arguments, outcome, result, why, "
                     "measures, started, ended) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12)",
                     {Null(), Text(s.port), Int(s.index), Text(s.name), Text(s.command), Text(s.arguments),
                      Text(s.outcome), Text(s.result), OrNull(s.why), OrNull(s.measures),
                      s.startMs ? Text(LocalTime(s.startMs)) : Null(), s.endMs ? Text(LocalTime(s.endMs)) : Null()}});
    for (std::size_t first = 0; first < answers.size(); first += kAnswersPerInsert) {
        const std::size_t rows = std::min(kAnswersPerInsert, answers.size() - first);
        std::vector<Value> p;
        p.reserve(rows * kAnswerColumns);
        for (std::size_t i = first; i < first + rows; ++i) {
            const AnswerRow& a = answers[i];
            for (Value v : {Null(), Text(s.port), Int(s.index), Int(a.answer), Int(a.of),
                            Text(LocalTime(a.timeMs)), Text(a.command)})
                p.push_back(std::move(v));
            for (int v : a.requested) p.push_back(Int(v));
            for (int v : a.dispensed) p.push_back(a.countsKnown ? Int(v) : Null());
            for (int v : a.rejected) p.push_back(a.countsKnown ? Int(v) : Null());
            for (int v : a.reasons) p.push_back(a.countsKnown ? Int(v) : Null());
            p.push_back(a.error >= 0 ? Int(a.error) : Null());
        }
        stmts.push_back({InsertAnswers(rows), std::move(p)});
    }
    if (d)
        stmts.push_back({"INSERT INTO downloads (run_id, port, step_index, image, image_crc32, image_sum, blocks, "
                         "verify, result) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)",
                         {Null(), Text(s.port), Int(s.index), Text(d->image), OrNull(d->crc32),
                          OrNull(d->sum), d->blocks >= 0 ? Int(d->blocks) : Null(), OrNull(d->verify),
                          Text(d->result)}});
    std::lock_guard lock(m_lock);
    for (Statement& st : stmts) {
        const std::size_t stride = st.sql.rfind("INSERT INTO answers", 0) == 0 ? kAnswerColumns : st.params.size();
        for (std::size_t i = 0; i < st.params.size(); i += stride) st.params[i] = Text(m_runId);
    }
    return Transaction(std::move(stmts));
}

bool ResultsWriter::EndUnit(const std::string& port, const std::string& verdict, int exit,
                            const std::string& firmware, const std::string& failedStep, const std::string& why) {
    std::lock_guard lock(m_lock);
    return Transaction({{"UPDATE units SET verdict = $1, exit_status = $2, firmware = $3, failed_step = $4, why = $5 "
                         "WHERE run_id = $6 AND port = $7",
                         {Text(verdict), Int(exit), OrNull(firmware), OrNull(failedStep), OrNull(why),
                          Text(m_runId), Text(port)}}});
}

bool ResultsWriter::EndRun(const std::string& result, int exit) {
    std::lock_guard lock(m_lock);
    return Transaction({{"UPDATE runs SET ended = $1, result = $2, exit_status = $3 WHERE run_id = $4",
                         {Text(LocalTime(NowMs())), Text(result), Int(exit), Text(m_runId)}}});
}

}  // namespace db
