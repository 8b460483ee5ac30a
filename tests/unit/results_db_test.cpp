// The results database on SQLite: the schema brought forward once, the
// writer's rows and the queries over them, concurrent writers into one file,
// and the station's file taking the run when the server fails mid-run.
#include "results/Queries.h"
#include "results/ResultsWriter.h"
#include "TempTree.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

std::unique_ptr<db::Connection> Fresh(const std::string& path) {
    std::string why;
    auto c = db::OpenSqlite(path, &why);
    EXPECT_TRUE(c) << why;
    if (c) {
        EXPECT_TRUE(db::Migrate(*c, &why)) << why;
    }
    return c;
}

long long Count(db::Connection& c, const std::string& sql) {
    std::vector<db::Row> rows;
    EXPECT_TRUE(c.Run(sql, {}, &rows)) << c.Error();
    return rows.empty() || !rows[0][0] ? -1 : std::atoll(rows[0][0]->c_str());
}

db::RunRow RunOf(const std::string& id, const std::string& plan = "p") {
    db::RunRow r;
    r.runId = id;
    r.station = "st";
    r.operatorName = "op";
    r.command = "run";
    r.plan = plan;
    r.planHash = "h";
    r.toolVersion = "zantu-cli 1.2";
    return r;
}

db::AnswerRow Answer(int k, int of, int dispensed1, int rejected1, int reason0) {
    db::AnswerRow a;
    a.answer = k;
    a.of = of;
    a.timeMs = 1'700'000'000'000 + k;
    a.command = "dispense";
    a.requested = {dispensed1, 0, 0, 0};
    a.dispensed = {dispensed1, 0, 0, 0};
    a.rejected = {rejected1, 0, 0, 0};
    a.reasons[0] = reason0;
    return a;
}

db::StepRow Step(const std::string& port, int index) {
    db::StepRow s;
    s.port = port;
    s.index = index;
    s.name = "batch";
    s.command = "dispense";
    s.arguments = "1 0 0 0";
    s.outcome = "pass";
    s.result = "ok";
    return s;
}

TEST(ResultsDb, TheSchemaIsBroughtForwardOnceAndANewerOneRefused) {
    TempTree tree;
    const std::string path = tree.Root() + "/sub/results.db";  // the folder is made
    auto c = Fresh(path);
    ASSERT_TRUE(c);
    EXPECT_EQ(db::SchemaVersion(*c), db::LatestSchemaVersion());
    std::string why;
    EXPECT_TRUE(db::Migrate(*c, &why)) << why;
    EXPECT_EQ(Count(*c, "SELECT count(*) FROM schema_version"), db::LatestSchemaVersion());
    ASSERT_TRUE(c->Run("INSERT INTO schema_version (version, applied) VALUES (99, 'x')", {}));
    EXPECT_FALSE(db::Migrate(*c, &why));
    EXPECT_NE(why.find("newer than this tool's"), std::string::npos) << why;
}

TEST(ResultsDb, QueriesOverWrittenRuns) {
    TempTree tree;
    const std::string path = tree.Root() + "/r.db";
    {
        db::ResultsWriter w(Fresh(path));
        // Run A: two units, one passes; unit U1's batch rejects 1 of 10 notes.
        ASSERT_TRUE(w.StartRun(RunOf("A")));
        ASSERT_TRUE(w.StartUnit("/dev/a", "U1"));
        ASSERT_TRUE(w.StartUnit("/dev/b", "U2"));
        ASSERT_TRUE(w.WriteStep(Step("/dev/a", 1), {Answer(1, 2, 5, 1, 1), Answer(2, 2, 4, 0, 0)}, nullptr));
        ASSERT_TRUE(w.EndUnit("/dev/a", "pass", 0, "Z120   6000", "", ""));
        ASSERT_TRUE(w.EndUnit("/dev/b", "fail", 5, "", "sensors", "opacity[4] 0x85"));
        ASSERT_TRUE(w.EndRun("limit_failed", 5));
        // Run B of another plan: U1 again, and a purge whose notes are no rejects.
        ASSERT_TRUE(w.StartRun(RunOf("B", "q")));
        ASSERT_TRUE(w.StartUnit("/dev/a", "U1"));
        db::AnswerRow purge = Answer(1, 1, 0, 7, 0);
        purge.command = "purge";
        db::DownloadRow d{"fw.hex", "1A2B3C4D", "BEEF", 320, "ok", "ok"};
        ASSERT_TRUE(w.WriteStep(Step("/dev/a", 1), {purge}, &d));
        ASSERT_TRUE(w.EndUnit("/dev/a", "pass", 0, "", "", ""));
        ASSERT_TRUE(w.EndRun("ok", 0));
        EXPECT_EQ(w.Error(), "");
    }
    auto c = Fresh(path);
    ASSERT_TRUE(c);
    db::Table runs, yield, rejects;
    ASSERT_TRUE(db::UnitRuns(*c, {std::string("U1"), {}, {}}, runs));
    ASSERT_EQ(runs.rows.size(), 2u);
    ASSERT_TRUE(db::Yield(*c, {}, yield)) << c->Error();
    ASSERT_EQ(yield.rows.size(), 2u);  // one day, two plans
    EXPECT_EQ(yield.rows[0][1], "p");
    EXPECT_EQ(yield.rows[0][2], "2");
    EXPECT_EQ(yield.rows[0][3], "1");
    EXPECT_EQ(yield.rows[0][4], "50.00");
    ASSERT_TRUE(db::Rejects(*c, {}, rejects)) << c->Error();
    ASSERT_EQ(rejects.rows.size(), 11u);
    EXPECT_EQ(rejects.rows[0], (db::Row{"box 1", "10", "1", "10.00"}));
    EXPECT_EQ(rejects.rows[4], (db::Row{"reason reject", "10", "1", "10.00"}));
    // The filters: a plan, and a day after every run.
    ASSERT_TRUE(db::Yield(*c, {{}, {}, std::string("q")}, yield));
    EXPECT_EQ(yield.rows.size(), 1u);
    ASSERT_TRUE(db::UnitRuns(*c, {std::string("U1"), std::string("2999-01-01"), {}}, runs));
    EXPECT_TRUE(runs.rows.empty());
    EXPECT_EQ(Count(*c, "SELECT blocks FROM downloads WHERE run_id = 'B'"), 320);
    // Times carry their UTC offset.
    std::vector<db::Row> started;
    ASSERT_TRUE(c->Run("SELECT started FROM runs WHERE run_id = 'A'", {}, &started));
    ASSERT_EQ(started.size(), 1u);
    EXPECT_TRUE(started[0][0]->size() == 29 && ((*started[0][0])[23] == '+' || (*started[0][0])[23] == '-'))
        << *started[0][0];
}

// Eight writers (the ports of a station, or stations) at once into one file:
// every row there once.
TEST(ResultsDb, ConcurrentWritersLoseAndDoubleNothing) {
    TempTree tree;
    const std::string path = tree.Root() + "/r.db";
    ASSERT_TRUE(Fresh(path));
    constexpr int kWriters = 8, kSteps = 5, kAnswers = 150;  // more than one statement of answer rows a step
    std::vector<std::string> errors(kWriters);
    {
        std::vector<std::jthread> threads;
        for (int w = 0; w < kWriters; ++w)
            threads.emplace_back([&, w] {
                std::string why;
                auto c = db::OpenSqlite(path, &why);
                if (!c || !db::Migrate(*c, &why)) {
                    errors[static_cast<std::size_t>(w)] = why;
                    return;
                }
                db::ResultsWriter writer(std::move(c));
                const std::string port = "/dev/p" + std::to_string(w);
                bool ok = writer.StartRun(RunOf("R" + std::to_string(w))) && writer.StartUnit(port, "U");
                for (int s = 1; ok && s <= kSteps; ++s) {
                    std::vector<db::AnswerRow> answers;
                    for (int k = 1; k <= kAnswers; ++k) answers.push_back(Answer(k, kAnswers, 1, 0, 0));
                    ok = writer.WriteStep(Step(port, s), answers, nullptr);
                }
                ok = ok && writer.EndUnit(port, "pass", 0, "", "", "") && writer.EndRun("ok", 0);
                if (!ok) errors[static_cast<std::size_t>(w)] = writer.Error();
            });
    }
    for (const std::string& e : errors) EXPECT_EQ(e, "");
    auto c = Fresh(path);
    ASSERT_TRUE(c);
    EXPECT_EQ(Count(*c, "SELECT count(*) FROM runs WHERE result = 'ok'"), kWriters);
    EXPECT_EQ(Count(*c, "SELECT count(*) FROM steps"), kWriters * kSteps);
    EXPECT_EQ(Count(*c, "SELECT count(*) FROM answers"), kWriters * kSteps * kAnswers);
    EXPECT_EQ(Count(*c, "SELECT count(DISTINCT run_id || port || step_index || '/' || answer) FROM answers"),
              kWriters * kSteps * kAnswers);
}

// A server connection that goes away after a number of transactions.
class GoingAway final : public db::Connection {
public:
    GoingAway(std::unique_ptr<db::Connection> inner, int commits) : m_inner(std::move(inner)), m_left(commits) {}
    bool Exec(std::string_view sql) override { return Up() && m_inner->Exec(sql); }
    bool Run(std::string_view sql, const std::vector<db::Value>& p, std::vector<db::Row>* out) override {
        return Up() && m_inner->Run(sql, p, out);
    }
    bool Begin() override { return Up() && m_inner->Begin(); }
    bool Commit() override { return Up() && m_left-- > 0 && m_inner->Commit(); }
    void Rollback() override { m_inner->Rollback(); }
    bool MigrationLock(bool) override { return true; }
    const std::string& Error() const override { return m_error; }
    std::string_view Kind() const override { return "postgresql"; }
    const std::string& Name() const override { return m_name; }

private:
    bool Up() { return m_left > 0; }
    std::unique_ptr<db::Connection> m_inner;
    int m_left;
    std::string m_error = "server closed the connection unexpectedly";
    std::string m_name = "postgresql://line/results";
};

TEST(ResultsDb, AServerThatGoesAwayLeavesTheRunInTheStationsFile) {
    TempTree tree;
    const std::string server = tree.Root() + "/server.db", station = tree.Root() + "/station.db";
    db::ResultsWriter w(std::make_unique<GoingAway>(Fresh(server), 2),
                        [&](std::string* why) { return db::OpenSqlite(station, why); });
    ASSERT_TRUE(w.StartRun(RunOf("A")));
    ASSERT_TRUE(w.StartUnit("/dev/a", "U1"));
    EXPECT_FALSE(w.FellBack());
    ASSERT_TRUE(w.WriteStep(Step("/dev/a", 1), {Answer(1, 1, 3, 0, 0)}, nullptr)) << w.Error();
    EXPECT_TRUE(w.FellBack());
    EXPECT_NE(w.FallbackWhy().find("until zantu-cli results --push"), std::string::npos) << w.FallbackWhy();
    ASSERT_TRUE(w.EndUnit("/dev/a", "pass", 0, "", "", ""));
    ASSERT_TRUE(w.EndRun("ok", 0));
    auto local = Fresh(station);
    ASSERT_TRUE(local);
    EXPECT_EQ(Count(*local, "SELECT count(*) FROM runs WHERE result = 'ok'"), 1);
    EXPECT_EQ(Count(*local, "SELECT count(*) FROM units WHERE verdict = 'pass'"), 1);
    EXPECT_EQ(Count(*local, "SELECT count(*) FROM answers"), 1);
    EXPECT_EQ(Count(*local, "SELECT count(*) FROM pending_push WHERE run_id = 'A'"), 1);
}

}  // namespace
