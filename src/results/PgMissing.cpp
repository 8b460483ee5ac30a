// Built without libpqxx: a server target is refused in words.
#include "results/Database.h"

namespace db {

std::unique_ptr<Connection> OpenPostgres(const std::string&, std::string* why) {
    if (why) *why = "this zantu-cli was built without PostgreSQL (libpqxx)";
    return nullptr;
}

}  // namespace db
