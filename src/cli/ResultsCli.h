// zantu-cli and the results database: opening it for a run (--db, else the
// station's file), the plan's listener that writes each step as it ends, the
// rows of a plain command, and the results command (queries and --push).
#pragma once

#include "cli/PlanRun.h"
#include "results/ResultsWriter.h"

#include <cstdio>
#include <mutex>
#include <memory>
#include <string>

namespace cli {

inline constexpr int kExitUnavailable = 69;  // EX_UNAVAILABLE: the results server cannot be reached

struct OpenedDb {
    std::unique_ptr<db::ResultsWriter> writer;
    int exit = 0;  // 0, 69 (server unreachable), 73 (file cannot be made)
    std::string why;
};

// Opens and migrates the database for a run: the server of --db (failing
// with 69 before anything is sent), or the SQLite file (--db FILE, else the
// station's file).  A server's writer falls back to the station's file.
OpenedDb OpenForRun(const Options& o);

// The run's row: its id, station (host name), operator (login name), version.
db::RunRow RunRowFor(const Options& o, const std::string& plan, const std::string& hash);

// Writes a plan's steps and verdicts as they end.
class DbPlanListener final : public PlanListener {
public:
    DbPlanListener(db::ResultsWriter& w, std::FILE* err) : m_w(w), m_err(err) {}
    void UnitStarted(std::size_t unit, const std::string& id, const std::string& port) override;
    void StepEnded(std::size_t unit, std::size_t index, const plan::Step& step, const plan::StepVerdict& verdict,
                   const plan::StepFacts& facts, const StepRows& rows) override;
    void UnitEnded(std::size_t unit, const plan::UnitVerdict& verdict, const std::string& firmware) override;

private:
    void Check(bool ok);
    db::ResultsWriter& m_w;
    std::FILE* m_err;
    std::mutex m_lock;
    std::vector<std::string> m_ports;  // by unit index
    bool m_said = false;
};

// The rows of one step from what its session kept: a batch's answers, a download.
void RowsOfStep(const Session& s, const Options& step, const plan::StepFacts& facts, StepRows& rows);

// zantu-cli results: the queries, or --push.
int RunResults(const Options& o, std::FILE* out, std::FILE* err);

}  // namespace cli
