// How a store location appears in messages and log lines: as it was given,
// with every password in it replaced by "***".
#ifndef CEPLATFORM_STORE_LOCATION_TEXT_H_
#define CEPLATFORM_STORE_LOCATION_TEXT_H_

#include <string>

namespace ceplatform {
namespace store {

// `location` fit for a message or a log line. Three forms are told apart:
// - a PostgreSQL URI (postgresql:// or postgres://, the scheme in any case):
//   the password of its user information (after the first ':' of what comes
//   before the first '@' that precedes any '/', as libpq reads it), and the
//   value of every query parameter whose name, percent-decoded and in any
//   case, is password or sslpassword, up to the next '&' or the end;
// - a libpq key=value string (one that begins with a word and '='): the
//   value of each of those keys, bare or in quotes;
// - anything else is a file path and is shown as it is.
// Each password becomes "***" (an empty one too, so its length never shows);
// everything else stays byte for byte.
std::string PrintableLocation(const std::string& location);

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_LOCATION_TEXT_H_
