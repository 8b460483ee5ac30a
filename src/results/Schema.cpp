// The results database's schema: numbered migrations, run in order, each
// once.  A migration is never changed after it is released; a change is a
// new one.  The SQL is what SQLite and PostgreSQL both take.
//
//   runs     one run of zantu-cli (a plan or a command): its id, station,
//            operator (the login name), plan and the SHA-256 of its file,
//            the tool's version, start and end (local time with its UTC
//            offset), result word and exit status
//   units    one unit of a run: its id, port, the firmware version read,
//            verdict, the first step that did not pass and why
//   steps    one step a unit ran: index, name, command and arguments,
//            outcome (pass, fail, error), result word, why, and its values
//            against its limits (JSON: name, value, limit, pass)
//   answers  one answer of a batch (the columns of the record file): answer
//            k of n, its time, requests, dispensed and rejected per box,
//            rejects by reason, device error
//   downloads  one firmware download: image file, CRC-32, 16-bit sum, blocks
//            the flash holds, verify
//   pending_push  (a station's file) runs written here because the line's
//            server could not be reached, to be sent with results --push
#include "results/Database.h"

#include <array>
#include <cstdlib>

namespace db {

namespace {

struct Migration {  // version, statements
    int version;
    std::string_view sql;
};

constexpr std::array<Migration, 1> kMigrations{{
    {1, R"sql(
CREATE TABLE runs (
    run_id       TEXT PRIMARY KEY,
    station      TEXT NOT NULL,
    operator     TEXT NOT NULL,
    command      TEXT NOT NULL,
    plan         TEXT,
    plan_hash    TEXT,
    tool_version TEXT NOT NULL,
    started      TEXT NOT NULL,
    ended        TEXT,
    result       TEXT NOT NULL,
    exit_status  INTEGER
);
CREATE INDEX runs_started ON runs (started);
CREATE INDEX runs_plan ON runs (plan, started);
CREATE TABLE units (
    run_id      TEXT NOT NULL REFERENCES runs (run_id),
    port        TEXT NOT NULL,
    unit        TEXT NOT NULL,
    firmware    TEXT,
    verdict     TEXT NOT NULL,
    exit_status INTEGER,
    failed_step TEXT,
    why         TEXT,
    PRIMARY KEY (run_id, port)
);
CREATE INDEX units_unit ON units (unit, run_id);
CREATE TABLE steps (
    run_id     TEXT NOT NULL,
    port       TEXT NOT NULL,
    step_index INTEGER NOT NULL,
    name       TEXT NOT NULL,
    command    TEXT NOT NULL,
    arguments  TEXT NOT NULL,
    outcome    TEXT NOT NULL,
    result     TEXT NOT NULL,
    why        TEXT,
    measures   TEXT,
    started    TEXT,
    ended      TEXT,
    PRIMARY KEY (run_id, port, step_index),
    FOREIGN KEY (run_id, port) REFERENCES units (run_id, port)
);
CREATE TABLE answers (
    run_id      TEXT NOT NULL,
    port        TEXT NOT NULL,
    step_index  INTEGER NOT NULL,
    answer      INTEGER NOT NULL,
    answers_of  INTEGER NOT NULL,
    time        TEXT NOT NULL,
    command     TEXT NOT NULL,
    requested_1 INTEGER, requested_2 INTEGER, requested_3 INTEGER, requested_4 INTEGER,
    dispensed_1 INTEGER, dispensed_2 INTEGER, dispensed_3 INTEGER, dispensed_4 INTEGER,
    rejected_1  INTEGER, rejected_2  INTEGER, rejected_3  INTEGER, rejected_4  INTEGER,
    reason_reject INTEGER, reason_rvdt INTEGER, reason_len INTEGER, reason_skw INTEGER,
    reason_dst  INTEGER, reason_flen INTEGER, reason_fdst INTEGER,
    error       INTEGER,
    PRIMARY KEY (run_id, port, step_index, answer),
    FOREIGN KEY (run_id, port) REFERENCES units (run_id, port)
);
CREATE TABLE downloads (
    run_id      TEXT NOT NULL,
    port        TEXT NOT NULL,
    step_index  INTEGER NOT NULL,
    image       TEXT NOT NULL,
    image_crc32 TEXT,
    image_sum   TEXT,
    blocks      INTEGER,
    verify      TEXT,
    result      TEXT NOT NULL,
    PRIMARY KEY (run_id, port, step_index),
    FOREIGN KEY (run_id, port) REFERENCES units (run_id, port)
);
CREATE TABLE pending_push (
    run_id TEXT PRIMARY KEY REFERENCES runs (run_id),
    server TEXT NOT NULL
);
)sql"},
}};

static_assert([] {
    for (std::size_t i = 0; i < kMigrations.size(); ++i)
        if (kMigrations[i].version != static_cast<int>(i) + 1) return false;
    return true;
}());

}  // namespace

int LatestSchemaVersion() { return kMigrations.back().version; }

int SchemaVersion(Connection& c) {
    std::vector<Row> rows;
    if (!c.Run("SELECT max(version) FROM schema_version", {}, &rows) || rows.empty() || !rows[0][0]) return 0;
    return std::atoi(rows[0][0]->c_str());
}

bool Migrate(Connection& c, std::string* why) {
    auto fail = [&](const std::string& what) {
        if (why) *why = what;
        return false;
    };
    if (!c.MigrationLock(true)) return fail("cannot lock the schema: " + c.Error());
    struct Unlock {
        Connection& c;
        ~Unlock() { c.MigrationLock(false); }
    } unlock{c};
    if (!c.Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER PRIMARY KEY, applied TEXT NOT NULL)"))
        return fail("cannot create the schema's version table: " + c.Error());
    for (const Migration& m : kMigrations) {
        // Several writers may start at once: the check and the migration are one transaction.
        if (!c.Begin()) return fail("cannot begin the migration: " + c.Error());
        std::vector<Row> rows;
        if (!c.Run("SELECT version FROM schema_version WHERE version = $1", {Int(m.version)}, &rows)) {
            c.Rollback();
            return fail(c.Error());
        }
        if (!rows.empty()) {
            c.Commit();
            continue;
        }
        if (!c.Exec(m.sql) ||
            !c.Run("INSERT INTO schema_version (version, applied) VALUES ($1, CURRENT_TIMESTAMP)", {Int(m.version)}) ||
            !c.Commit()) {
            const std::string e = c.Error();
            c.Rollback();
            return fail("migration " + std::to_string(m.version) + " failed: " + e);
        }
    }
    if (const int v = SchemaVersion(c); v > LatestSchemaVersion())
        return fail("the database's schema (version " + std::to_string(v) + ") is newer than this tool's (" +
                    std::to_string(LatestSchemaVersion()) + ")");
    return true;
}

}  // namespace db
