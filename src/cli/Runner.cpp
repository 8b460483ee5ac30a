#include "cli/Runner.h"

#include "cli/Report.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace cli {

namespace {

int Severity(int rc) {
    if (rc >= 128) return 6;
    if (rc == kExitPortFailed) return 5;
    if (rc == kExitLinkFailed) return 4;
    if (rc == kExitDeviceError) return 2;
    if (rc == res::ExitOf(res::Result::LimitFailed)) return 1;
    if (rc == kExitOk) return 0;
    return 3;
}

}  // namespace

int WorseExit(int a, int b) { return Severity(b) > Severity(a) ? b : a; }

int RunOnPorts(RunnerConfig cfg) {
    const std::size_t n = cfg.ports.size();
    const bool several = n > 1;
    std::atomic<bool> timedOut{false};
    std::vector<int> exits(n, kExitOk);
    std::vector<std::string> results(n);

    std::mutex m;
    std::condition_variable cv;
    std::size_t finished = 0;
    std::mutex recordLock;
    {
        std::vector<std::jthread> threads;
        threads.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            SessionConfig sc;
            sc.options = cfg.options;
            sc.map = cfg.ports[i].map;
            sc.com = cfg.ports[i].com;
            sc.portName = cfg.ports[i].portName;
            sc.password = cfg.password;
            sc.stop = cfg.stop;
            sc.stopExit = cfg.stopExit;
            sc.progress = cfg.progress && !several;
            sc.out = cfg.out;
            sc.err = cfg.err;
            if (several) sc.label = cfg.ports[i].label;
            sc.timedOut = &timedOut;
            sc.timeoutSec = cfg.options.timeoutSec;
            sc.record = cfg.record;
            sc.recordLock = &recordLock;
            sc.recordRun = cfg.recordRun;
            sc.recordRun.unit = cfg.ports[i].unit;
            sc.keepBatch = static_cast<bool>(cfg.onSessionEnd);
            threads.emplace_back([&, i, sc = std::move(sc)]() mutable {
                int rc = 0;
                std::string result;
                {
                    Session session(std::move(sc));
                    rc = session.Run();
                    result = session.Result();
                    if (cfg.onSessionEnd) cfg.onSessionEnd(i, session, rc);
                }
                std::lock_guard lock(m);
                exits[i] = rc;
                results[i] = std::move(result);
                ++finished;
                cv.notify_all();
            });
        }
        if (cfg.onStarted) cfg.onStarted();

        std::unique_lock lock(m);
        auto allDone = [&] { return finished == n; };
        if (cfg.options.timeoutSec > 0) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(cfg.options.timeoutSec);
            if (!cv.wait_until(lock, deadline, allDone)) {
                // Only a run not stopped already counts as timed out.
                if (cfg.stop && cfg.stop->load() == 0) {
                    timedOut.store(true);
                    cfg.stop->store(2);
                }
            }
        }
        cv.wait(lock, allDone);
    }  // the threads are joined

    int rc = kExitOk;
    for (int e : exits) rc = WorseExit(rc, e);
    if (!several) return rc;

    // The last summary: the ports counted by result, in the order first met.
    std::vector<std::pair<std::string, int>> counts;
    for (const auto& r : results) {
        auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == r; });
        if (it == counts.end())
            counts.emplace_back(r, 1);
        else
            ++it->second;
    }
    std::string text;
    const std::string command(cfg.options.command->name);
    if (cfg.options.json) {
        Record s;
        s.type = "ports";
        s.command = command;
        s.top.push_back(ScalarField("exit", "exit", FieldKind::Dec, std::to_string(rc)));
        s.top.push_back(ScalarField("result", "result", FieldKind::Text, ResultWord(rc)));
        s.top.push_back(ScalarField("ports", "ports", FieldKind::Dec, std::to_string(n)));
        for (const auto& [word, count] : counts) {
            Field f = ScalarField(word, word, FieldKind::Dec, std::to_string(count));
            f.group = "results";
            s.top.push_back(std::move(f));
        }
        text = FormatJson(s) + "\n";
    } else {
        text = std::to_string(n) + " ports:";
        for (std::size_t i = 0; i < counts.size(); ++i)
            text += (i ? ", " : " ") + std::to_string(counts[i].second) + " " + counts[i].first;
        text += "; exit status " + std::to_string(rc) + "\n";
    }
    std::fwrite(text.data(), 1, text.size(), cfg.out);
    if (std::fflush(cfg.out) != 0 || std::ferror(cfg.out)) rc = WorseExit(rc, 74);
    return rc;
}

}  // namespace cli
