// Writes a run into the results database as it goes: the run's row and each
// unit's at the start (result "running"), each step with its answers and its
// download in one transaction when it ends, the units' verdicts and the run's
// result at the end.  A run cut short (Ctrl+C, SIGTERM, a lost port) still
// ends through EndUnit and EndRun, so its rows carry their result words; a
// run killed outright leaves "running", which says so.
//
// Called from several threads (one a unit); each call takes the writer's lock
// and is one transaction.  The writer never runs on the console's thread: a
// session's rows are written after its step.
//
// When the server goes away mid-run the writer goes on in the station's
// SQLite file (the rows written so far are written there again) and marks the
// run for --push; FellBack() says so.
#pragma once

#include "results/Database.h"

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace db {

struct RunRow {
    std::string runId;
    std::string station;
    std::string operatorName;
    std::string command;   // "run" for a plan, else the command
    std::string plan;      // the plan's name ("" for a command)
    std::string planHash;  // SHA-256 of the plan file
    std::string toolVersion;
};

struct AnswerRow {  // the columns of the record file's answer rows
    int answer = 0, of = 0;
    std::int64_t timeMs = 0;
    std::string command;
    std::array<int, 4> requested{}, dispensed{}, rejected{};
    std::array<int, 7> reasons{};
    bool countsKnown = true;
    int error = -1;  // -1: none
};

struct DownloadRow {
    std::string image;
    std::string crc32;  // hexadecimal; "" not known
    std::string sum;
    int blocks = -1;
    std::string verify;  // "ok", "failed", ""
    std::string result;
};

struct StepRow {
    std::string port;
    int index = 0;  // 1, 2, ... (a plain command: 1)
    std::string name, command, arguments, outcome, result, why;
    std::string measures;  // JSON list
    std::int64_t startMs = 0, endMs = 0;
};

// "YYYY-MM-DD HH:MM:SS.mmm+HH:MM": local time and its offset from UTC.
std::string LocalTime(std::int64_t ms);
std::int64_t NowMs();

// A new run of this program on this station: its id (the host, the start to
// the millisecond and the process: unique over the stations of a line), the
// station (host name) and the operator (login name).
RunRow NewRunRow(std::string command, std::string toolVersion);

class ResultsWriter {
public:
    // primary: where the rows go; fallback: opens the station's SQLite file
    // when the primary (a server) fails mid-run (null: no fallback).
    ResultsWriter(std::unique_ptr<Connection> primary,
                  std::function<std::unique_ptr<Connection>(std::string*)> fallback = {});

    bool StartRun(const RunRow& run);
    bool StartUnit(const std::string& port, const std::string& unit);
    bool WriteStep(const StepRow& step, const std::vector<AnswerRow>& answers, const DownloadRow* download);
    bool EndUnit(const std::string& port, const std::string& verdict, int exit, const std::string& firmware,
                 const std::string& failedStep, const std::string& why);
    bool EndRun(const std::string& result, int exit);

    // The rows went to the fallback file after the server failed; why.
    bool FellBack() const { return m_fellBack; }
    const std::string& FallbackWhy() const { return m_fallbackWhy; }
    // A write that failed in both places, in words ("" none).
    const std::string& Error() const { return m_error; }
    const Connection& Target() const { return *m_conn; }

private:
    struct Statement {
        std::string sql;
        std::vector<Value> params;
    };
    // Runs the statements as one transaction, on the fallback when the
    // server fails; the run's statements are kept to be written there again.
    bool Transaction(std::vector<Statement> stmts);
    bool Apply(Connection& c, const std::vector<Statement>& stmts);

    std::mutex m_lock;
    std::unique_ptr<Connection> m_conn;
    std::function<std::unique_ptr<Connection>(std::string*)> m_fallback;
    std::vector<Statement> m_journal;  // this run's statements so far
    std::string m_runId;
    bool m_fellBack = false;
    std::string m_fallbackWhy;
    std::string m_error;
};

}  // namespace db
