// The results database on SQLite (WAL, synchronous FULL, in the system's
// temporary folder):
//   AnswerRows/300  a batch step of 300 answer rows written as one
//                   transaction, as the writer does; the time per row is
//                   the counter "per_row" (must stay at most 1 ms, median)
//   AnswerRow/1     one row a transaction: what a writer that committed each
//                   answer as it came would pay
//   Queries         zantu-cli results (a unit's runs, yield per day and plan,
//                   reject rates) over 100 000 generated runs (must stay
//                   under a second)
//   PostgresRun     a plan's run of 8 ports x 300 answers into a throw-away
//                   PostgreSQL server (tests/e2e/PgServer.h; skipped, saying
//                   so, without the server's programs): the run's rows, the
//                   ports writing at once as zantu-cli's threads do, against
//                   the line time of the run (the ports run in parallel: 300
//                   exchanges at 9600 baud 8N1, from the bytes of the
//                   console's dispense frame and the module's ACK and answer;
//                   the module's own working time comes on top).  The counter
//                   "ratio" is the writer's time over the line time: it must
//                   stay under 0.01.
#include "PgServer.h"

#include "ModuleCore.h"
#include "commands/Catalogue.h"
#include "commands/CommandType.h"
#include "link/LinkFrame.h"
#include "results/Queries.h"
#include "results/ResultsWriter.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct Folder {
    Folder() {
        std::string t = (fs::temp_directory_path() / "zantu_bench_XXXXXX").string();
        if (::mkdtemp(t.data())) path = t;
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

std::unique_ptr<db::Connection> Open(const std::string& file) {
    std::string why;
    auto c = db::OpenSqlite(file, &why);
    if (!c || !db::Migrate(*c, &why)) std::fprintf(stderr, "%s\n", why.c_str());
    return c;
}

db::AnswerRow Answer(int k, int of) {
    db::AnswerRow a;
    a.answer = k;
    a.of = of;
    a.timeMs = 1'765'000'000'000 + k;
    a.command = "dispense";
    a.requested = {2, 1, 1, 0};
    a.dispensed = {2, 1, 1, 0};
    a.rejected = {k % 7 == 0, 0, 0, 0};
    a.reasons[0] = k % 7 == 0;
    return a;
}

void AnswerRows(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    Folder f;
    db::ResultsWriter w(Open(f.path + "/r.db"));
    db::RunRow run{"R", "st", "op", "run", "p", "h", "zantu-cli"};
    w.StartRun(run);
    w.StartUnit("/dev/p", "U");
    std::vector<db::AnswerRow> answers;
    for (int k = 1; k <= n; ++k) answers.push_back(Answer(k, n));
    int index = 0;
    for (auto _ : state) {
        db::StepRow s{"/dev/p", ++index, "batch", "dispense", "2 1 1 0", "pass", "ok", "", "", 0, 0};
        if (!w.WriteStep(s, answers, nullptr)) state.SkipWithError(w.Error().c_str());
    }
    state.counters["per_row"] = benchmark::Counter(static_cast<double>(state.iterations()) * n,
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(AnswerRows)->Name("AnswerRows")->Arg(300)->Repetitions(5)->ReportAggregatesOnly()->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(AnswerRows)->Name("AnswerRow")->Arg(1)->Repetitions(5)->ReportAggregatesOnly()->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void Queries(benchmark::State& state) {
    Folder f;
    const std::string file = f.path + "/r.db";
    auto c = Open(file);
    // 100 000 runs of 2 plans over 50 days, a unit each, every tenth with a batch of 10 answers.
    c->Begin();
    for (int i = 0; i < 100000; ++i) {
        const std::string id = "R" + std::to_string(i);
        char day[32];
        std::snprintf(day, sizeof day, "2026-%02d-%02d 10:00:00.000+00:00", 10 + (i / 2000) / 28 % 3,
                      1 + (i / 2000) % 28);
        c->Run("INSERT INTO runs (run_id, station, operator, command, plan, plan_hash, tool_version, started, result) "
               "VALUES ($1, 'st', 'op', 'run', $2, 'h', 'zantu-cli', $3, 'ok')",
               {db::Text(id), db::Text(i % 2 ? "p" : "q"), db::Text(day)});
        c->Run("INSERT INTO units (run_id, port, unit, verdict) VALUES ($1, '/dev/p', $2, $3)",
               {db::Text(id), db::Text("SN" + std::to_string(i % 5000)), db::Text(i % 17 ? "pass" : "fail")});
        if (i % 10 == 0)
            for (int k = 1; k <= 10; ++k)
                c->Run("INSERT INTO answers (run_id, port, step_index, answer, answers_of, time, command, "
                       "dispensed_1, rejected_1, reason_reject) VALUES ($1, '/dev/p', 1, $2, 10, $3, 'dispense', 2, "
                       "$4, $4)",
                       {db::Text(id), db::Int(k), db::Text(day), db::Int(k == 3)});
    }
    c->Commit();
    for (auto _ : state) {
        auto q = Open(file);  // as zantu-cli results does
        db::Table runs, yield, rejects;
        const db::Filter unit{std::string("SN42"), {}, {}};
        if (!db::UnitRuns(*q, unit, runs) || !db::Yield(*q, {}, yield) || !db::Rejects(*q, {}, rejects))
            state.SkipWithError(q->Error().c_str());
        benchmark::DoNotOptimize(rejects.rows.data());
    }
}
BENCHMARK(Queries)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The seconds one dispense exchange holds the line: the console's frame,
// then the module's ACK and answer, 10 bits a byte at 9600 baud.
double ExchangeLineSeconds() {
    const std::vector<std::string> counts{"2", "1", "1", "0"};
    std::vector<std::uint8_t> body;
    if (!BuildHandBody(cmd::kDispense, counts, body, nullptr)) return 0;
    std::vector<std::uint8_t> frame(std::begin(proto::kHostHead), std::end(proto::kHostHead));
    frame.insert(frame.end(), body.begin(), body.end());
    frame.resize(frame.size() + 2);
    frame.resize(proto::CloseHostFrame(frame.data(), frame.size() - 2));
    zsim::ModuleCore module;
    module.Feed(frame);
    const std::size_t answered = module.TakeBytes().size();
    if (answered == 0) return 0;
    return static_cast<double>(frame.size() + answered) * 10.0 / 9600.0;
}

void PostgresRun(benchmark::State& state) {
    constexpr int kPorts = 8, kAnswers = 300;
    PgServer server;
    std::string why;
    if (!server.Start(&why)) {
        state.SkipWithError(("no throw-away PostgreSQL server (" + why + "): PostgresRun not measured").c_str());
        return;
    }
    auto c = db::OpenMigrated(server.Url(), &why);
    if (!c) {
        state.SkipWithError(why.c_str());
        return;
    }
    const double lineSeconds = kAnswers * ExchangeLineSeconds();
    if (lineSeconds <= 0) {
        state.SkipWithError("the module did not answer the dispense frame");
        return;
    }
    db::ResultsWriter w(std::move(c));
    std::vector<db::AnswerRow> answers;
    for (int k = 1; k <= kAnswers; ++k) answers.push_back(Answer(k, kAnswers));
    double writerSeconds = 0;
    int run = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        db::RunRow r{"R" + std::to_string(++run), "st", "op", "run", "p", "h", "zantu-cli"};
        bool ok = w.StartRun(r);
        std::atomic<bool> failed{false};
        {
            std::vector<std::jthread> ports;
            for (int p = 0; p < kPorts; ++p)
                ports.emplace_back([&, p] {
                    const std::string port = "/dev/ttyUSB" + std::to_string(p);
                    db::StepRow s{port, 1, "batch", "dispense", "2 1 1 0 --repeat 300", "pass", "ok", "", "", 0, 0};
                    if (!w.StartUnit(port, "SN" + std::to_string(p)) || !w.WriteStep(s, answers, nullptr) ||
                        !w.EndUnit(port, "pass", 0, "", "", ""))
                        failed = true;
                });
        }
        ok = ok && !failed && w.EndRun("ok", 0);
        writerSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!ok) {
            state.SkipWithError(w.Error().c_str());
            return;
        }
    }
    const double perRun = writerSeconds / static_cast<double>(state.iterations());
    state.counters["line_s"] = lineSeconds;
    state.counters["writer_s"] = perRun;
    state.counters["ratio"] = perRun / lineSeconds;
}
BENCHMARK(PostgresRun)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
