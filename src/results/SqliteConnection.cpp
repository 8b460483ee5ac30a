// The station's results file on SQLite.  WAL mode, so readers (zantu-cli
// results, a spreadsheet) never wait for a writer and the eight ports of a
// station, or several zantu-cli at once, write one file; a busy time-out, so
// a writer waits for another's transaction instead of failing; transactions
// begun IMMEDIATE, so two writers never deadlock upgrading a read lock.
// synchronous = FULL: a committed step survives a power cut, not only a
// crash of the program; the rows of a step are one transaction, so the sync
// is paid once a step, not once a row.
#include "results/Database.h"

#include <sqlite3.h>

#include <filesystem>

namespace db {

namespace {

constexpr int kBusyTimeoutMs = 10000;

class Sqlite final : public Connection {
public:
    explicit Sqlite(std::string path) : m_name(std::move(path)) {}
    ~Sqlite() override {
        if (m_db) sqlite3_close_v2(m_db);
    }

    bool OpenFile(std::string* why) {
        std::error_code ec;
        const std::filesystem::path parent = std::filesystem::path(m_name).parent_path();
        if (!parent.empty()) std::filesystem::create_directories(parent, ec);
        const int rc = sqlite3_open_v2(m_name.c_str(), &m_db,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
        if (rc != SQLITE_OK) {
            if (why) *why = "cannot open the results file '" + m_name + "': " + sqlite3_errstr(rc);
            return false;
        }
        sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
        if (!Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON")) {
            if (why) *why = "cannot use the results file '" + m_name + "': " + m_error;
            return false;
        }
        return true;
    }

    bool Exec(std::string_view sql) override {
        char* msg = nullptr;
        const std::string text(sql);
        if (sqlite3_exec(m_db, text.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
            m_error = msg ? msg : sqlite3_errmsg(m_db);
            sqlite3_free(msg);
            return false;
        }
        return true;
    }

    bool Run(std::string_view sql, const std::vector<Value>& params, std::vector<Row>* out) override {
        sqlite3_stmt* st = Prepared(sql);
        if (!st) return false;
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        for (std::size_t i = 0; i < params.size(); ++i) {
            const int at = static_cast<int>(i) + 1;
            const Value& v = params[i];
            if (const auto* n = std::get_if<long long>(&v))
                sqlite3_bind_int64(st, at, *n);
            else if (const auto* d = std::get_if<double>(&v))
                sqlite3_bind_double(st, at, *d);
            else if (const auto* s = std::get_if<std::string>(&v))
                sqlite3_bind_text(st, at, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(st, at);
        }
        for (;;) {
            const int rc = sqlite3_step(st);
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) {
                m_error = sqlite3_errmsg(m_db);
                sqlite3_reset(st);
                return false;
            }
            if (!out) continue;
            Row row;
            const int n = sqlite3_column_count(st);
            for (int c = 0; c < n; ++c) {
                if (sqlite3_column_type(st, c) == SQLITE_NULL) {
                    row.emplace_back();
                } else {
                    const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
                    row.emplace_back(std::string(t, static_cast<std::size_t>(sqlite3_column_bytes(st, c))));
                }
            }
            out->push_back(std::move(row));
        }
        sqlite3_reset(st);
        return true;
    }

    bool Begin() override { return Exec("BEGIN IMMEDIATE"); }
    bool Commit() override { return Exec("COMMIT"); }
    void Rollback() override {
        if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    bool MigrationLock(bool) override { return true; }  // BEGIN IMMEDIATE serialises the writers
    const std::string& Error() const override { return m_error; }
    std::string_view Kind() const override { return "sqlite"; }
    const std::string& Name() const override { return m_name; }

private:
    // Statements are prepared once and kept (a batch writes the same few).
    sqlite3_stmt* Prepared(std::string_view sql) {
        for (auto& [text, st] : m_cache)
            if (text == sql) return st.get();
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.data(), static_cast<int>(sql.size()), &st, nullptr) != SQLITE_OK) {
            m_error = sqlite3_errmsg(m_db);
            return nullptr;
        }
        m_cache.emplace_back(std::string(sql), Stmt(st));
        return st;
    }
    struct Finalize {
        void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
    };
    using Stmt = std::unique_ptr<sqlite3_stmt, Finalize>;

    std::string m_name;
    sqlite3* m_db = nullptr;
    std::string m_error;
    // Finalized after sqlite3_close_v2, which waits for them (a zombie handle).
    std::vector<std::pair<std::string, Stmt>> m_cache;
};

}  // namespace

std::unique_ptr<Connection> OpenSqlite(const std::string& path, std::string* why) {
    auto c = std::make_unique<Sqlite>(path);
    if (!c->OpenFile(why)) return nullptr;
    return c;
}

}  // namespace db
