#include "results/Database.h"

#include <cstdlib>

namespace db {

bool IsServerUrl(std::string_view t) {
    return t.rfind("postgresql://", 0) == 0 || t.rfind("postgres://", 0) == 0 ||
           (t.find("dbname=") != std::string_view::npos && t.find('=') < t.find('/'));
}

std::string DefaultPath() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && *data == '/') return std::string(data) + "/zantu/results.db";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.local/share/zantu/results.db";
}

std::unique_ptr<Connection> Open(const std::string& target, std::string* why) {
    if (IsServerUrl(target)) return OpenPostgres(target, why);
    return OpenSqlite(target, why);
}

std::unique_ptr<Connection> OpenMigrated(const std::string& target, std::string* why) {
    std::unique_ptr<Connection> c = Open(target, why);
    std::string migrateWhy;
    if (c && !Migrate(*c, &migrateWhy)) {
        if (why) *why = "the results database " + c->Name() + ": " + migrateWhy;
        return nullptr;
    }
    return c;
}

}  // namespace db
