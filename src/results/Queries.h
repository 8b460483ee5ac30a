// What a quality engineer asks of the results first, as tables: the runs and
// verdicts of a unit, the yield (units passed / units run) per day and plan,
// and the reject rate per box and per reason over the units.  The same SQL on
// SQLite and PostgreSQL; the filters are parameters, never text in the SQL.
#pragma once

#include "results/Database.h"

#include <optional>
#include <string>
#include <vector>

namespace db {

struct Filter {
    std::optional<std::string> unit;
    std::optional<std::string> since;  // YYYY-MM-DD: runs started that day or later
    std::optional<std::string> plan;
};

struct Table {
    std::string name;                  // "runs", "yield", "rejects"
    std::vector<std::string> columns;  // JSON and CSV names
    std::vector<Row> rows;
};

// The runs of the filter's unit (newest first); without a unit, nothing.
bool UnitRuns(Connection& c, const Filter& f, Table& out);
// Per day (of the run's start, local) and plan: units run, passed, yield in percent.
bool Yield(Connection& c, const Filter& f, Table& out);
// Per box and per reason: notes, rejected, rate in percent, over the
// dispense, test-dispense and zigzag answers of the filter's runs (a purge's
// notes go to the reject box but are no rejects).
bool Rejects(Connection& c, const Filter& f, Table& out);

}  // namespace db
