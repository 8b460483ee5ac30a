// The results database: a station's SQLite file, or a line's PostgreSQL
// server, behind one small connection interface.  Every statement the tool
// runs is the same text on both (parameters written $1, $2, ...; types and
// functions both understand), so there is one code path above this file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace db {

// A parameter or a column's value.
using Value = std::variant<std::monostate, long long, double, std::string>;
inline Value Null() { return {}; }
inline Value Text(std::string s) { return Value{std::move(s)}; }
inline Value Int(long long v) { return Value{v}; }

// A result row: each column as text, nullopt for NULL.
using Row = std::vector<std::optional<std::string>>;

class Connection {
public:
    virtual ~Connection() = default;
    // One or more statements without parameters.
    virtual bool Exec(std::string_view sql) = 0;
    // One statement; rows (if any) appended to *out.
    virtual bool Run(std::string_view sql, const std::vector<Value>& params, std::vector<Row>* out = nullptr) = 0;
    virtual bool Begin() = 0;
    virtual bool Commit() = 0;
    virtual void Rollback() = 0;
    // The last failure in words.
    virtual const std::string& Error() const = 0;
    // Holds (true) and lets go (false) the lock that lets one writer at a
    // time bring the schema forward.
    virtual bool MigrationLock(bool take) = 0;
    // "sqlite" or "postgresql"
    virtual std::string_view Kind() const = 0;
    // What the output calls it (the file, or the server without its password).
    virtual const std::string& Name() const = 0;
};

// True for "postgresql://..." and "postgres://..." (and "host=... dbname=..." key words).
bool IsServerUrl(std::string_view target);

// Opens the SQLite file (its folder made when missing), in WAL mode with a busy
// time-out, or connects to the server; null with *why when it cannot.
std::unique_ptr<Connection> Open(const std::string& target, std::string* why);
std::unique_ptr<Connection> OpenSqlite(const std::string& path, std::string* why);
std::unique_ptr<Connection> OpenPostgres(const std::string& url, std::string* why);
// Open, then Migrate: what every writer and reader of the results does first.
// Null with *why (naming the database) when either fails.
std::unique_ptr<Connection> OpenMigrated(const std::string& target, std::string* why);

// ~/.local/share/zantu/results.db (XDG_DATA_HOME honoured).
std::string DefaultPath();

// The schema's version now (0: an empty database) and the newest this tool knows.
int SchemaVersion(Connection& c);
int LatestSchemaVersion();
// Brings the schema forward, each migration in its own transaction; false
// (with c.Error()) when one fails or the database is newer than this tool.
bool Migrate(Connection& c, std::string* why);

}  // namespace db
