#include "cli/PlanVerdict.h"

#include <cstdio>
#include <cstdlib>

namespace plan {

namespace {

const cli::Field* Find(const std::vector<cli::Field>& fields, std::string_view key, std::string_view group = {}) {
    const cli::Field* found = nullptr;
    for (const cli::Field& f : fields)
        if (f.key == key && f.group == group) found = &f;
    return found;
}

bool Number(const std::string& text, int base, long long& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    out = std::strtoll(text.c_str(), &end, base);
    return end && *end == '\0';
}

std::string Percent(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4g", v);
    return buf;
}

std::string Hex(long long v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02llX", v);
    return buf;
}

std::string Trim(std::string s) {
    const auto b = s.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

class Judge {
public:
    explicit Judge(const StepFacts& f) : m_f(f) {}
    StepVerdict v;

    void Add(std::string name, std::string value, std::string limit, bool pass) {
        v.measures.push_back({std::move(name), std::move(value), std::move(limit), pass});
        if (!pass && v.outcome == Outcome::Pass) {
            const Measure& m = v.measures.back();
            v.outcome = Outcome::Fail;
            v.why = m.name + " " + m.value + ", limit " + m.limit;
        }
    }
    // A value the limit needs did not come: not a pass.
    void Missing(const std::string& what) {
        if (v.outcome == Outcome::Error) return;
        v.outcome = Outcome::Error;
        v.why = "the answer did not carry " + what;
    }

    void Version(const std::string& want) {
        const cli::Field* f = Find(m_f.fields, "version");
        if (!f || f->values.empty() || f->unknown) return Missing("the firmware version");
        Add("version", "'" + f->values[0] + "'", "= '" + want + "'", Trim(f->values[0]) == Trim(want));
    }

    // Per box: rejected / (dispensed + rejected) of the batch; a box that
    // moved no note has a rate of 0.
    void RejectRate(double maxPct) {
        const cli::Field* d = Find(m_f.fields, "dispensed_sum");
        const cli::Field* r = Find(m_f.fields, "rejected_sum");
        if (!d || !r || d->unknown || r->unknown || d->values.size() != 4 || r->values.size() != 4)
            return Missing("the batch's counts");
        char limit[32];
        std::snprintf(limit, sizeof limit, "<= %s %%", Percent(maxPct).c_str());
        for (std::size_t b = 0; b < 4; ++b) {
            long long nd = 0, nr = 0;
            if (!Number(d->values[b], 10, nd) || !Number(r->values[b], 10, nr)) return Missing("the batch's counts");
            const double pct = nd + nr > 0 ? 100.0 * static_cast<double>(nr) / static_cast<double>(nd + nr) : 0.0;
            Add("reject_rate[" + std::to_string(b + 1) + "]", Percent(pct) + " %", limit, pct <= maxPct);
        }
    }

    void DispensedEqualsRequested() {
        const cli::Field* req = Find(m_f.fields, "requested", "total");
        const cli::Field* got = Find(m_f.fields, "dispensed", "total");
        long long nq = 0, ng = 0;
        if (!req || !got || req->unknown || got->unknown || req->values.empty() || got->values.empty() ||
            !Number(req->values[0], 10, nq) || !Number(got->values[0], 10, ng))
            return Missing("the batch's totals");
        Add("dispensed", std::to_string(ng), "= requested " + std::to_string(nq), ng == nq);
    }

    void Within(const char* key, const Range& range) {
        const cli::Field* f = Find(m_f.fields, key);
        if (!f || f->unknown || f->values.size() != 4) return Missing(std::string("the ") + key + " values");
        const std::string limit = "[" + Hex(range.lo) + ", " + Hex(range.hi) + "]";
        for (std::size_t b = 0; b < 4; ++b) {
            long long v = 0;
            if (!Number(f->values[b], 16, v)) return Missing(std::string("the ") + key + " values");
            Add(std::string(key) + "[" + std::to_string(b + 1) + "]", Hex(v), limit, v >= range.lo && v <= range.hi);
        }
    }

    void Sensor(const FlagLimit& l) {
        const cli::Field* f = Find(m_f.fields, l.key);
        if (!f || f->unknown || f->values.empty()) return Missing("the sensor flag " + l.key);
        for (std::size_t i = 0; i < f->values.size(); ++i) {
            const bool want = l.want.size() == 1 ? l.want[0] : (i < l.want.size() && l.want[i]);
            const bool set = f->values[i] == "1";
            const std::string name = f->values.size() > 1 ? l.key + "[" + std::to_string(i + 1) + "]" : l.key;
            Add(name, set ? "set" : "clear", want ? "set" : "clear", set == want);
        }
    }

private:
    const StepFacts& m_f;
};

}  // namespace

std::string_view OutcomeWord(Outcome o) {
    switch (o) {
    case Outcome::Pass: return "pass";
    case Outcome::Fail: return "fail";
    case Outcome::Error: return "error";
    case Outcome::NotRun: return "not_run";
    }
    return "error";
}

StepVerdict JudgeStep(const StepFacts& facts, const Limits& limits) {
    Judge j(facts);
    const bool deviceError = facts.result == res::Result::DeviceError;
    if (limits.deviceErrorExpected) {
        if (deviceError) {
            j.Add("device_error", "yes", "expected", true);
            return j.v;  // the answer's values are the module's refusal, not readings
        }
        if (facts.result == res::Result::Ok) {
            j.Add("device_error", "none", "expected", false);
            j.v.exit = res::ExitOf(res::Result::LimitFailed);
            return j.v;
        }
    }
    if (facts.result != res::Result::Ok) {
        j.v.outcome = Outcome::Error;
        j.v.exit = facts.exit != 0 ? facts.exit : res::ExitOf(facts.result);
        j.v.why = std::string(res::Word(facts.result)) + (facts.message.empty() ? "" : ": " + facts.message);
        return j.v;
    }
    if (limits.version) j.Version(*limits.version);
    if (limits.rejectRateMax) j.RejectRate(*limits.rejectRateMax);
    if (limits.dispensedEqualsRequested) j.DispensedEqualsRequested();
    if (limits.opacity) j.Within("opacity", *limits.opacity);
    if (limits.length) j.Within("length", *limits.length);
    for (const FlagLimit& f : limits.sensors) j.Sensor(f);
    if (j.v.outcome == Outcome::Fail) j.v.exit = res::ExitOf(res::Result::LimitFailed);
    if (j.v.outcome == Outcome::Error) j.v.exit = res::ExitOf(res::Result::Failed);
    return j.v;
}

UnitVerdict JudgeUnit(const std::vector<StepRecord>& steps, std::size_t planSteps) {
    UnitVerdict u;
    for (const StepRecord& s : steps) {
        const Outcome o = s.verdict.outcome;
        if (o == Outcome::Pass) continue;
        // The first step that did not pass is named; an error anywhere makes
        // the unit's verdict an error, with the first error's status.
        if (u.failedStep.empty()) {
            u.failedStep = s.name;
            u.why = s.verdict.why;
            u.outcome = Outcome::Fail;
            u.exit = s.verdict.exit;
        }
        if (o != Outcome::Fail && u.outcome != Outcome::Error) {
            u.outcome = Outcome::Error;
            u.exit = s.verdict.exit;
        }
    }
    if (u.outcome == Outcome::Pass && steps.size() < planSteps) {
        u.outcome = Outcome::Error;
        u.exit = res::ExitOf(res::Result::Failed);
        u.why = "the plan ended after " + std::to_string(steps.size()) + " of " + std::to_string(planSteps) +
                " steps";
    }
    return u;
}

}  // namespace plan
