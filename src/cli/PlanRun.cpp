#include "cli/PlanRun.h"

#include "cli/Json.h"
#include "cli/ResultsCli.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace cli {

namespace {

struct UnitRun {
    std::string id;
    std::string port;
    std::vector<plan::StepRecord> steps;
    plan::UnitVerdict verdict;
    std::string firmware;
};

std::string Joined(const std::vector<std::string>& words) {
    std::string s;
    for (const auto& w : words) s += (s.empty() ? "" : " ") + w;
    return s;
}

class Output {
public:
    Output(std::FILE* out, bool json) : m_out(out), m_json(json) {}

    void Step(const UnitRun& u, std::size_t index, std::size_t of, const plan::Step& step,
              const plan::StepVerdict& v, const plan::StepFacts& facts) {
        std::string text;
        if (m_json) {
            JsonWriter w;
            w.BeginObject();
            w.Key("type"), w.String("step");
            w.Key("unit"), w.String(u.id);
            w.Key("port"), w.String(u.port);
            w.Key("step"), w.String(step.name);
            w.Key("index"), w.Int(static_cast<long long>(index + 1));
            w.Key("command"), w.String(step.options.command->name);
            w.Key("args");
            w.BeginArray();
            for (std::size_t i = 1; i < step.words.size(); ++i) w.String(step.words[i]);
            w.EndArray();
            w.Key("outcome"), w.String(plan::OutcomeWord(v.outcome));
            w.Key("result"), w.String(res::Word(facts.result));
            w.Key("exit"), w.Int(v.exit);
            w.Key("why"), w.String(v.why);
            w.Key("measures");
            w.BeginArray();
            for (const plan::Measure& m : v.measures) {
                w.BeginObject();
                w.Key("name"), w.String(m.name);
                w.Key("value"), w.String(m.value);
                w.Key("limit"), w.String(m.limit);
                w.Key("pass"), w.Bool(m.pass);
                w.EndObject();
            }
            w.EndArray();
            w.EndObject();
            text = w.Text() + "\n";
        } else {
            text = u.id + ": step " + std::to_string(index + 1) + "/" + std::to_string(of) + " " + step.name + " (" +
                   Joined(step.words) + "): " + std::string(plan::OutcomeWord(v.outcome));
            if (!v.why.empty()) text += ": " + v.why;
            text += "\n";
        }
        Write(text);
    }

    void Table(const std::vector<UnitRun>& units, const plan::Plan& p, int exit) {
        std::string text;
        std::size_t passed = 0;
        for (const UnitRun& u : units) passed += u.verdict.outcome == plan::Outcome::Pass;
        if (m_json) {
            for (const UnitRun& u : units) {
                JsonWriter w;
                w.BeginObject();
                w.Key("type"), w.String("unit");
                w.Key("unit"), w.String(u.id);
                w.Key("port"), w.String(u.port);
                w.Key("verdict"), w.String(plan::OutcomeWord(u.verdict.outcome));
                w.Key("exit"), w.Int(u.verdict.exit);
                w.Key("firmware");
                if (u.firmware.empty())
                    w.Null();
                else
                    w.String(u.firmware);
                w.Key("failed_step");
                if (u.verdict.failedStep.empty())
                    w.Null();
                else
                    w.String(u.verdict.failedStep);
                w.Key("why"), w.String(u.verdict.why);
                w.Key("steps"), w.Int(static_cast<long long>(u.steps.size()));
                w.EndObject();
                text += w.Text() + "\n";
            }
            JsonWriter w;
            w.BeginObject();
            w.Key("type"), w.String("plan");
            w.Key("plan"), w.String(p.name);
            w.Key("hash"), w.String(p.hash);
            w.Key("exit"), w.Int(exit);
            w.Key("result"), w.String(res::Word(res::OfExit(exit)));
            w.Key("units"), w.Int(static_cast<long long>(units.size()));
            w.Key("passed"), w.Int(static_cast<long long>(passed));
            w.EndObject();
            text += w.Text() + "\n";
        } else {
            std::size_t wu = 4, ws = 4;
            for (const UnitRun& u : units) {
                wu = std::max(wu, u.id.size());
                ws = std::max(ws, u.verdict.failedStep.size());
            }
            auto pad = [](std::string s, std::size_t n) {
                s.resize(std::max(s.size(), n), ' ');
                return s;
            };
            text += pad("unit", wu) + "  verdict  " + pad("step", ws) + "  why\n";
            for (const UnitRun& u : units) {
                std::string line = pad(u.id, wu) + "  " + pad(std::string(plan::OutcomeWord(u.verdict.outcome)), 7) +
                                   "  " + pad(u.verdict.failedStep, ws) + "  " + u.verdict.why;
                line.erase(line.find_last_not_of(' ') + 1);
                text += line + "\n";
            }
            text += "plan " + p.name + ": " + std::to_string(passed) + " of " + std::to_string(units.size()) +
                    " units passed; exit status " + std::to_string(exit) + "\n";
        }
        Write(text);
    }

    bool Failed() const { return m_failed; }

private:
    void Write(const std::string& text) {
        std::lock_guard lock(m_lock);
        if (std::fwrite(text.data(), 1, text.size(), m_out) != text.size() || std::fflush(m_out) != 0)
            m_failed = true;
    }
    std::FILE* m_out;
    bool m_json;
    std::mutex m_lock;
    bool m_failed = false;
};

// One step on one unit's port: its session, with its lines kept from the
// output (the plan says a line per step), then its verdict.
plan::StepFacts RunStep(const PlanRunConfig& cfg, const PortTarget& port, const plan::Step& step,
                        const std::atomic<bool>& timedOut, std::mutex& recordLock, StepRows& rows) {
    SessionConfig sc;
    sc.options = step.options;
    sc.options.json = false;
    sc.options.shared = cfg.runner.options.shared;
    sc.options.trace = cfg.runner.options.trace;
    sc.map = port.map;
    sc.com = port.com;
    sc.portName = port.portName;
    sc.password = cfg.runner.password;
    sc.stop = cfg.runner.stop;
    sc.stopExit = cfg.runner.stopExit;
    sc.timedOut = &timedOut;
    sc.timeoutSec = cfg.runner.options.timeoutSec;
    sc.record = cfg.runner.record;
    sc.recordLock = &recordLock;
    sc.keepBatch = cfg.listener != nullptr;
    std::FILE* sink = std::tmpfile();
    sc.out = sink ? sink : cfg.runner.err;
    sc.err = sink ? sink : cfg.runner.err;

    plan::StepFacts facts;
    rows.startMs = db::NowMs();
    {
        Session session(std::move(sc));
        facts.exit = session.Run();
        facts.result = res::OfExit(facts.exit);
        if (const std::string& word = session.Result(); !word.empty())
            for (const res::ResultRow& row : res::kResults)
                if (row.word == word) facts.result = row.result;
        facts.fields = session.LastAnswerFields();
        for (const Field& f : session.Summary().top)
            if (f.key == "message" && !f.values.empty()) facts.message = f.values[0];
        for (const Field& f : session.Summary().fields) facts.fields.push_back(f);
        if (cfg.listener) RowsOfStep(session, step.options, facts, rows);
    }
    rows.endMs = db::NowMs();
    if (sink) std::fclose(sink);
    return facts;
}

}  // namespace

int RunPlan(PlanRunConfig cfg) {
    const std::size_t n = cfg.runner.ports.size();
    const std::size_t of = cfg.plan.steps.size();
    std::vector<UnitRun> units(n);
    for (std::size_t i = 0; i < n; ++i) {
        units[i].port = cfg.runner.ports[i].label;
        units[i].id = i < cfg.units.size() && !cfg.units[i].empty() ? cfg.units[i] : units[i].port;
    }
    Output output(cfg.runner.out, cfg.runner.options.json);
    std::atomic<bool> timedOut{false};
    std::mutex m, recordLock;
    std::condition_variable cv;
    std::size_t finished = 0;
    auto stopped = [&] { return cfg.runner.stop && cfg.runner.stop->load() > 0; };
    {
        std::vector<std::jthread> threads;
        threads.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            threads.emplace_back([&, i] {
                UnitRun& u = units[i];
                if (cfg.listener) cfg.listener->UnitStarted(i, u.id, u.port);
                for (std::size_t k = 0; k < of && !stopped(); ++k) {
                    const plan::Step& step = cfg.plan.steps[k];
                    StepRows rows;
                    const plan::StepFacts facts =
                        RunStep(cfg, cfg.runner.ports[i], step, timedOut, recordLock, rows);
                    const plan::StepVerdict v = plan::JudgeStep(facts, step.limits);
                    if (step.options.command->cmd == Cmd::RomVersion)
                        for (const Field& f : facts.fields)
                            if (f.key == "version" && !f.values.empty()) u.firmware = f.values[0];
                    u.steps.push_back({step.name, v});
                    output.Step(u, k, of, step, v, facts);
                    if (cfg.listener) cfg.listener->StepEnded(i, k, step, v, facts, rows);
                    if (v.outcome != plan::Outcome::Pass && step.stopOnFail) break;
                    // A port that is gone takes the unit with it.
                    if (facts.result == res::Result::PortFailed) break;
                }
                u.verdict = plan::JudgeUnit(u.steps, of);
                if (u.verdict.outcome == plan::Outcome::Error && stopped() && u.steps.size() < of &&
                    u.verdict.failedStep.empty()) {
                    u.verdict.exit = cfg.runner.stopExit ? cfg.runner.stopExit() : 130;
                    u.verdict.why = "stopped: " + u.verdict.why;
                }
                if (cfg.listener) cfg.listener->UnitEnded(i, u.verdict, u.firmware);
                std::lock_guard lock(m);
                ++finished;
                cv.notify_all();
            });
        }
        if (cfg.runner.onStarted) cfg.runner.onStarted();
        std::unique_lock lock(m);
        auto allDone = [&] { return finished == n; };
        if (cfg.runner.options.timeoutSec > 0) {
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::seconds(cfg.runner.options.timeoutSec);
            if (!cv.wait_until(lock, deadline, allDone) && cfg.runner.stop && cfg.runner.stop->load() == 0) {
                timedOut.store(true);
                cfg.runner.stop->store(2);
            }
        }
        cv.wait(lock, allDone);
    }
    int rc = kExitOk;
    for (const UnitRun& u : units) rc = WorseExit(rc, u.verdict.exit);
    output.Table(units, cfg.plan, rc);
    if (output.Failed()) rc = WorseExit(rc, res::ExitOf(res::Result::IoError));
    return rc;
}

}  // namespace cli
