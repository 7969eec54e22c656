#include "connection.h"

#include "pg_connection.h"
#include "sqlite_connection.h"

namespace ceplatform {
namespace store {

Result Connection::Open(const std::string& location, uint64_t generation, Connection** out,
                        std::string* message, bool create) {
  if (IsServerLocation(location.c_str())) {
    return PgConnection::Open(location, generation, out, message, create);
  }
  return SqliteConnection::Open(location, generation, out, message, create);
}

}  // namespace store
}  // namespace ceplatform
