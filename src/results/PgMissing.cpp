// Built without libpqxx, or linked without it (the window writes the
// station's SQLite file only): a server target is refused in words.
#include "results/Database.h"

namespace db {

std::unique_ptr<Connection> OpenPostgres(const std::string&, std::string* why) {
    if (why) *why = "this program was built without PostgreSQL (libpqxx)";
    return nullptr;
}

}  // namespace db
