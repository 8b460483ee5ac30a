#include "results/Queries.h"

#include <cstdio>
#include <cstdlib>

namespace db {

namespace {

// The filters, as parameters $1 (unit), $2 (since), $3 (plan); a missing one matches all.
constexpr const char* kWhere =
    " WHERE (CAST($1 AS TEXT) IS NULL OR u.unit = CAST($1 AS TEXT))"
    " AND (CAST($2 AS TEXT) IS NULL OR r.started >= CAST($2 AS TEXT))"
    " AND (CAST($3 AS TEXT) IS NULL OR r.plan = CAST($3 AS TEXT))";

std::vector<Value> Params(const Filter& f) {
    auto opt = [](const std::optional<std::string>& s) { return s ? Text(*s) : Null(); };
    return {opt(f.unit), opt(f.since), opt(f.plan)};
}

std::string Percent(long long part, long long whole) {
    if (whole <= 0) return "0.00";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return buf;
}

long long N(const std::optional<std::string>& s) { return s ? std::atoll(s->c_str()) : 0; }

}  // namespace

bool UnitRuns(Connection& c, const Filter& f, Table& out) {
    out.name = "runs";
    out.rows.clear();
    out.columns = {"run", "started", "plan", "unit", "port", "firmware", "verdict", "failed_step", "why"};
    if (!f.unit) return true;
    const std::string sql =
        std::string("SELECT r.run_id, r.started, COALESCE(r.plan, r.command), u.unit, u.port, u.firmware, u.verdict, "
                    "u.failed_step, u.why FROM units u JOIN runs r ON r.run_id = u.run_id") +
        kWhere + " ORDER BY r.started DESC, u.port";
    return c.Run(sql, Params(f), &out.rows);
}

bool Yield(Connection& c, const Filter& f, Table& out) {
    out.name = "yield";
    out.rows.clear();
    out.columns = {"day", "plan", "units", "passed", "yield"};
    const std::string sql =
        std::string("SELECT substr(r.started, 1, 10), r.plan, count(*), "
                    "sum(CASE WHEN u.verdict = 'pass' THEN 1 ELSE 0 END) FROM units u JOIN runs r ON r.run_id = "
                    "u.run_id") +
        kWhere + " AND r.plan IS NOT NULL GROUP BY substr(r.started, 1, 10), r.plan ORDER BY 1, 2";
    if (!c.Run(sql, Params(f), &out.rows)) return false;
    for (Row& row : out.rows) row.push_back(Percent(N(row[3]), N(row[2])));
    return true;
}

bool Rejects(Connection& c, const Filter& f, Table& out) {
    out.name = "rejects";
    out.rows.clear();
    out.columns = {"of", "notes", "rejected", "rate"};
    const std::string sql =
        std::string("SELECT sum(a.dispensed_1), sum(a.dispensed_2), sum(a.dispensed_3), sum(a.dispensed_4), "
                    "sum(a.rejected_1), sum(a.rejected_2), sum(a.rejected_3), sum(a.rejected_4), "
                    "sum(a.reason_reject), sum(a.reason_rvdt), sum(a.reason_len), sum(a.reason_skw), "
                    "sum(a.reason_dst), sum(a.reason_flen), sum(a.reason_fdst) FROM answers a "
                    "JOIN units u ON u.run_id = a.run_id AND u.port = a.port JOIN runs r ON r.run_id = a.run_id") +
        kWhere + " AND a.command IN ('dispense', 'test-dispense', 'zigzag')";  // a purge's notes are no rejects
    std::vector<Row> sums;
    if (!c.Run(sql, Params(f), &sums)) return false;
    if (sums.empty() || sums[0].size() < 15) return true;
    const Row& s = sums[0];
    long long all = 0;
    for (int b = 0; b < 4; ++b) all += N(s[b]) + N(s[4 + b]);
    for (int b = 0; b < 4; ++b) {
        const long long notes = N(s[b]) + N(s[4 + b]), rej = N(s[4 + b]);
        out.rows.push_back({"box " + std::to_string(b + 1), std::to_string(notes), std::to_string(rej),
                            Percent(rej, notes)});
    }
    static const char* kReasons[] = {"reject", "rvdt", "len", "skw", "dst", "flen", "fdst"};
    for (int i = 0; i < 7; ++i)
        out.rows.push_back({std::string("reason ") + kReasons[i], std::to_string(all), std::to_string(N(s[8 + i])),
                            Percent(N(s[8 + i]), all)});
    return true;
}

}  // namespace db
