#include "cli/ResultsCli.h"

#include "cli/Json.h"
#include "records/BatchRecord.h"
#include "results/BatchResults.h"
#include "results/Queries.h"

#include <algorithm>
#include <cstdio>

#ifndef ZANTU_VERSION
#define ZANTU_VERSION "0"
#endif

namespace cli {

namespace {

std::string MeasuresJson(const std::vector<plan::Measure>& ms) {
    if (ms.empty()) return {};
    JsonWriter w;
    w.BeginArray();
    for (const plan::Measure& m : ms) {
        w.BeginObject();
        w.Key("name"), w.String(m.name);
        w.Key("value"), w.String(m.value);
        w.Key("limit"), w.String(m.limit);
        w.Key("pass"), w.Bool(m.pass);
        w.EndObject();
    }
    w.EndArray();
    return w.Text();
}

std::string Joined(const std::vector<std::string>& words, std::size_t from) {
    std::string s;
    for (std::size_t i = from; i < words.size(); ++i) s += (s.empty() ? "" : " ") + words[i];
    return s;
}

const Field* FieldOf(const std::vector<Field>& fs, std::string_view key) {
    for (const Field& f : fs)
        if (f.key == key && !f.values.empty()) return &f;
    return nullptr;
}

}  // namespace

db::RunRow RunRowFor(const Options& o, const std::string& plan, const std::string& hash) {
    db::RunRow r = db::NewRunRow(std::string(o.command->name), std::string("zantu-cli ") + ZANTU_VERSION);
    r.plan = plan;
    r.planHash = hash;
    return r;
}

OpenedDb OpenForRun(const Options& o) {
    OpenedDb out;
    const std::string target = o.db.value_or(db::DefaultPath());
    std::string why;
    std::unique_ptr<db::Connection> c = db::OpenMigrated(target, &why);
    const bool server = db::IsServerUrl(target);
    if (!c) {
        out.exit = server ? kExitUnavailable : res::ExitOf(res::Result::CannotCreate);
        out.why = why;
        return out;
    }
    std::function<std::unique_ptr<db::Connection>(std::string*)> fallback;
    if (server) fallback = [](std::string* w) { return db::OpenSqlite(db::DefaultPath(), w); };
    out.writer = std::make_unique<db::ResultsWriter>(std::move(c), std::move(fallback));
    return out;
}

void RowsOfStep(const Session& s, const Options& step, const plan::StepFacts& facts, StepRows& rows) {
    if (const rec::BatchRecord* b = s.Batch()) rows.answers = db::AnswerRowsOf(*b);
    if (step.command && step.command->cmd == Cmd::Download && !step.args.empty()) {
        db::DownloadRow d;
        d.image = step.args[0];
        d.result = std::string(res::Word(facts.result));
        const std::vector<Field>& fs = s.Summary().fields;
        if (const Field* f = FieldOf(fs, "image_sum")) d.sum = f->values[0];
        if (const auto crc = s.ImageCrc32()) {
            char hex[9];
            std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(*crc));
            d.crc32 = hex;
        }
        if (const Field* f = FieldOf(fs, "blocks")) d.blocks = std::atoi(f->values[0].c_str());
        if (step.verify)
            if (const Field* f = FieldOf(fs, "verified")) d.verify = f->values[0] == "1" ? "ok" : "failed";
        rows.download = d;
    }
}

void DbPlanListener::Check(bool ok) {
    std::lock_guard lock(m_lock);
    if (!ok && !m_said) {
        m_said = true;
        std::fprintf(m_err, "zantu-cli: %s\n", m_w.Error().c_str());
    }
    if (m_w.FellBack() && !m_said) {
        m_said = true;
        std::fprintf(m_err, "zantu-cli: %s\n", m_w.FallbackWhy().c_str());
    }
}

void DbPlanListener::UnitStarted(std::size_t unit, const std::string& id, const std::string& port) {
    {
        std::lock_guard lock(m_lock);
        if (m_ports.size() <= unit) m_ports.resize(unit + 1);
        m_ports[unit] = port;
    }
    Check(m_w.StartUnit(port, id));
}

void DbPlanListener::StepEnded(std::size_t unit, std::size_t index, const plan::Step& step,
                               const plan::StepVerdict& v, const plan::StepFacts& facts, const StepRows& rows) {
    db::StepRow r;
    {
        std::lock_guard lock(m_lock);
        r.port = m_ports[unit];
    }
    r.index = static_cast<int>(index) + 1;
    r.name = step.name;
    r.command = std::string(step.options.command->name);
    r.arguments = Joined(step.words, 1);
    r.outcome = std::string(plan::OutcomeWord(v.outcome));
    r.result = std::string(res::Word(facts.result));
    r.why = v.why;
    r.measures = MeasuresJson(v.measures);
    r.startMs = rows.startMs;
    r.endMs = rows.endMs;
    Check(m_w.WriteStep(r, rows.answers, rows.download ? &*rows.download : nullptr));
}

void DbPlanListener::UnitEnded(std::size_t unit, const plan::UnitVerdict& v, const std::string& firmware) {
    std::string port;
    {
        std::lock_guard lock(m_lock);
        port = m_ports[unit];
    }
    Check(m_w.EndUnit(port, std::string(plan::OutcomeWord(v.outcome)), v.exit, firmware, v.failedStep, v.why));
}

// ---- zantu-cli results ----------------------------------------------------------

namespace {

void Print(const db::Table& t, const Options& o, std::string& text) {
    if (o.json) {
        for (const db::Row& row : t.rows) {
            JsonWriter w;
            w.BeginObject();
            w.Key("type"), w.String(t.name);
            for (std::size_t i = 0; i < t.columns.size() && i < row.size(); ++i) {
                w.Key(t.columns[i]);
                // Counts and percentages are numbers; names, days and ids
                // stay strings whatever they look like (a unit "1234").
                static constexpr std::string_view kNumeric[] = {"units", "passed", "yield", "notes", "rejected",
                                                                "rate"};
                if (!row[i])
                    w.Null();
                else if (std::find(std::begin(kNumeric), std::end(kNumeric), t.columns[i]) != std::end(kNumeric))
                    w.Decimal(*row[i]);
                else
                    w.String(*row[i]);
            }
            w.EndObject();
            text += w.Text() + "\n";
        }
        return;
    }
    if (o.csv) {
        auto field = [](const std::string& s) {
            if (s.find_first_of(",\"\r\n") == std::string::npos && (s.empty() || (s.front() != ' ' && s.back() != ' ')))
                return s;
            std::string q = "\"";
            for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
            return q + "\"";
        };
        text += "table";
        for (const auto& c : t.columns) text += "," + c;
        text += "\r\n";
        for (const db::Row& row : t.rows) {
            text += t.name;
            for (const auto& v : row) text += "," + field(v.value_or(""));
            text += "\r\n";
        }
        return;
    }
    if (t.rows.empty()) return;
    std::vector<std::size_t> width;
    for (const auto& c : t.columns) width.push_back(c.size());
    for (const db::Row& row : t.rows)
        for (std::size_t i = 0; i < row.size() && i < width.size(); ++i)
            width[i] = std::max(width[i], row[i].value_or("").size());
    auto line = [&](const std::vector<std::string>& cells) {
        std::string l;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            std::string c = cells[i];
            if (i + 1 < cells.size()) c.resize(std::max(c.size(), width[i]), ' ');
            l += (i ? "  " : "") + c;
        }
        l.erase(l.find_last_not_of(' ') + 1);
        return l + "\n";
    };
    text += t.name + ":\n" + line(t.columns);
    for (const db::Row& row : t.rows) {
        std::vector<std::string> cells;
        for (const auto& v : row) cells.push_back(v.value_or(""));
        text += line(cells);
    }
    text += "\n";
}

// The runs the station's file keeps for the server, copied over; each run
// is one transaction on the server and then leaves the list.
int Push(const Options& o, std::FILE* out, std::FILE* err) {
    if (!o.db || !db::IsServerUrl(*o.db)) {
        std::fprintf(err, "zantu-cli: results --push needs --db postgresql://... (the line's server)\n");
        return res::ExitOf(res::Result::UsageError);
    }
    std::string why;
    auto server = db::OpenMigrated(*o.db, &why);
    if (!server) {
        std::fprintf(err, "zantu-cli: %s\n", why.c_str());
        return kExitUnavailable;
    }
    auto local = db::OpenMigrated(db::DefaultPath(), &why);
    if (!local) {
        std::fprintf(err, "zantu-cli: %s\n", why.c_str());
        return res::ExitOf(res::Result::NoInput);
    }
    std::vector<db::Row> pending;
    if (!local->Run("SELECT run_id FROM pending_push ORDER BY run_id", {}, &pending)) {
        std::fprintf(err, "zantu-cli: %s\n", local->Error().c_str());
        return res::ExitOf(res::Result::IoError);
    }
    static const char* const kTables[] = {"runs", "units", "steps", "answers", "downloads"};
    int pushed = 0;
    for (const db::Row& p : pending) {
        const std::string id = p[0].value_or("");
        bool ok = server->Begin();
        // Rows the server took before it went away are replaced, not doubled.
        for (const char* table : {"answers", "downloads", "steps", "units", "runs"})
            ok = ok && server->Run(std::string("DELETE FROM ") + table + " WHERE run_id = $1", {db::Text(id)});
        for (const char* table : kTables) {
            std::vector<db::Row> rows;
            ok = ok && local->Run(std::string("SELECT * FROM ") + table + " WHERE run_id = $1", {db::Text(id)}, &rows);
            for (const db::Row& row : rows) {
                if (!ok) break;
                std::string sql = std::string("INSERT INTO ") + table + " VALUES (";
                std::vector<db::Value> params;
                for (std::size_t i = 0; i < row.size(); ++i) {
                    sql += (i ? ", $" : "$") + std::to_string(i + 1);
                    params.push_back(row[i] ? db::Text(*row[i]) : db::Null());
                }
                ok = server->Run(sql + ")", params);
            }
        }
        ok = ok && server->Commit();
        if (!ok) {
            std::fprintf(err, "zantu-cli: pushing run %s failed: %s\n", id.c_str(), server->Error().c_str());
            server->Rollback();
            return kExitUnavailable;
        }
        local->Run("DELETE FROM pending_push WHERE run_id = $1", {db::Text(id)});
        ++pushed;
    }
    std::fprintf(out, "%d run%s pushed to %s\n", pushed, pushed == 1 ? "" : "s", server->Name().c_str());
    return 0;
}

}  // namespace

int RunResults(const Options& o, std::FILE* out, std::FILE* err) {
    if (o.push) return Push(o, out, err);
    const std::string target = o.db.value_or(db::DefaultPath());
    std::string why;
    auto c = db::OpenMigrated(target, &why);
    if (!c) {
        std::fprintf(err, "zantu-cli: %s\n", why.c_str());
        return db::IsServerUrl(target) ? kExitUnavailable : res::ExitOf(res::Result::NoInput);
    }
    db::Filter f{o.unit, o.since, o.planName};
    std::string text;
    db::Table runs, yield, rejects;
    if (!db::UnitRuns(*c, f, runs) || !db::Yield(*c, f, yield) || !db::Rejects(*c, f, rejects)) {
        std::fprintf(err, "zantu-cli: the query failed: %s\n", c->Error().c_str());
        return res::ExitOf(res::Result::IoError);
    }
    if (o.csv) {
        // One header per table: the tables follow one another, each after a blank line.
        for (const db::Table* t : {&runs, &yield, &rejects}) {
            if (t != &runs || o.unit) {
                if (!text.empty()) text += "\r\n";
                Print(*t, o, text);
            }
        }
    } else {
        for (const db::Table* t : {&runs, &yield, &rejects}) Print(*t, o, text);
    }
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0)
        return res::ExitOf(res::Result::IoError);
    return 0;
}

}  // namespace cli
