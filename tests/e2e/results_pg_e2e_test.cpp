// The results database on a real PostgreSQL server, started by the test
// itself from Debian's packages: initdb in a folder of its own, the server
// on a Unix socket in that folder only (no TCP), as an ordinary user (uid
// 65534 when the tests run as root), stopped at the end.  A plan on two
// simulated units writes its rows there; a server that is not there refuses
// the run with 69 before anything is sent.
#include "PgServer.h"
#include "RunProgram.h"

#include "Simulator.h"
#include "results/Database.h"
#include "results/ResultsWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

namespace {

namespace fs = std::filesystem;

std::string CliPath() {
    std::error_code ec;
    const fs::path beside = fs::read_symlink("/proc/self/exe", ec).parent_path() / "zantu-cli";
    return !ec && fs::exists(beside) ? beside.string() : std::string(ZANTU_CLI_PATH);
}

class Postgres : public ::testing::Test {
protected:
    PgServer server;
    void SetUp() override {
        if (PgServer::Bin().empty()) GTEST_SKIP() << "no PostgreSQL server installed";
        std::string why;
        ASSERT_TRUE(server.Start(&why)) << why;
    }
    std::string Url() const { return server.Url(); }
};

TEST_F(Postgres, APlanWritesItsRowsToTheLinesServer) {
    zsim::Simulator a;
    zsim::SimOptions wo;
    wo.module.opacity[3] = 0x85;
    zsim::Simulator b(wo);
    const std::string pa = a.StartOnPty(), pb = b.StartOnPty();
    ASSERT_FALSE(pa.empty() || pb.empty());
    const RunResult r = RunProgram({CliPath(), "--db", Url(), "--port", pa, "--port", pb, "run",
                                    ZANTU_EXAMPLES_DIR "/qualification.toml"});
    EXPECT_EQ(r.exitCode, 5) << r.out << r.err;
    std::string why;
    auto c = db::Open(Url(), &why);
    ASSERT_TRUE(c) << why;
    std::vector<db::Row> rows;
    ASSERT_TRUE(c->Run("SELECT port, verdict FROM units ORDER BY port", {}, &rows)) << c->Error();
    ASSERT_EQ(rows.size(), 2u);
    for (const db::Row& row : rows) EXPECT_EQ(row[1], *row[0] == pa ? "pass" : "fail") << *row[0];
    rows.clear();
    ASSERT_TRUE(c->Run("SELECT result, exit_status FROM runs", {}, &rows));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (db::Row{"limit_failed", "5"}));
    rows.clear();
    ASSERT_TRUE(c->Run("SELECT count(*) FROM answers WHERE command = 'dispense'", {}, &rows));
    EXPECT_EQ(rows[0][0], "4");
    // The queries run there as on SQLite.
    const RunResult q = RunProgram({CliPath(), "--db", Url(), "--json", "results", "--plan", "qualification"});
    EXPECT_EQ(q.exitCode, 0) << q.err;
    EXPECT_NE(q.out.find(R"("type":"yield")"), std::string::npos) << q.out;
    EXPECT_NE(q.out.find(R"("units":2,"passed":1,"yield":50.00})"), std::string::npos) << q.out;
    EXPECT_NE(q.out.find(R"("of":"box 1","notes":)"), std::string::npos) << q.out;
    EXPECT_EQ(q.out.find(R"("rate":")"), std::string::npos) << q.out;  // rates are numbers too
    a.Stop();
    b.Stop();
}

// Eight stations at once, each bringing the schema forward and writing its
// run: every row there once.
TEST_F(Postgres, ConcurrentWritersLoseAndDoubleNothing) {
    constexpr int kWriters = 8, kAnswers = 300;
    std::vector<std::string> errors(kWriters);
    {
        std::vector<std::jthread> threads;
        for (int w = 0; w < kWriters; ++w)
            threads.emplace_back([&, w] {
                std::string why;
                auto c = db::OpenMigrated(Url(), &why);
                if (!c) {
                    errors[static_cast<std::size_t>(w)] = why;
                    return;
                }
                db::ResultsWriter writer(std::move(c));
                const std::string port = "/dev/p" + std::to_string(w);
                db::RunRow run{"R" + std::to_string(w), "st" + std::to_string(w), "op", "run", "p", "h", "zantu-cli"};
                std::vector<db::AnswerRow> answers(kAnswers);
                for (int k = 0; k < kAnswers; ++k) {
                    answers[static_cast<std::size_t>(k)].answer = k + 1;
                    answers[static_cast<std::size_t>(k)].of = kAnswers;
                    answers[static_cast<std::size_t>(k)].command = "dispense";
                }
                db::StepRow step{port, 1, "batch", "dispense", "1 0 0 0", "pass", "ok", "", "", 0, 0};
                const bool ok = writer.StartRun(run) && writer.StartUnit(port, "U") &&
                                writer.WriteStep(step, answers, nullptr) && writer.EndUnit(port, "pass", 0, "", "", "") &&
                                writer.EndRun("ok", 0);
                if (!ok) errors[static_cast<std::size_t>(w)] = writer.Error();
            });
    }
    for (const std::string& e : errors) EXPECT_EQ(e, "");
    std::string why;
    auto c = db::Open(Url(), &why);
    ASSERT_TRUE(c) << why;
    std::vector<db::Row> rows;
    ASSERT_TRUE(c->Run("SELECT count(*), count(DISTINCT run_id || '/' || answer) FROM answers", {}, &rows));
    EXPECT_EQ(rows[0], (db::Row{std::to_string(kWriters * kAnswers), std::to_string(kWriters * kAnswers)}));
    rows.clear();
    ASSERT_TRUE(c->Run("SELECT count(*) FROM runs WHERE result = 'ok'", {}, &rows));
    EXPECT_EQ(rows[0][0], std::to_string(kWriters));
}

TEST_F(Postgres, AServerThatCannotBeReachedRefusesTheRunBeforeAnythingIsSent) {
    zsim::Simulator sim;
    const std::string port = sim.StartOnPty();
    ASSERT_FALSE(port.empty());
    const std::string gone = "postgresql:///results?host=" + server.Dir() + "/nowhere&user=zantu";
    const RunResult r = RunProgram({CliPath(), "--db", gone, "--port", port, "status"});
    EXPECT_EQ(r.exitCode, 69) << r.err;
    EXPECT_NE(r.err.find("cannot reach the results server"), std::string::npos) << r.err;
    EXPECT_TRUE(sim.ReceivedFrames().empty());
    sim.Stop();
}

}  // namespace
