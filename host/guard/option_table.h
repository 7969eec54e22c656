// The shape of one option of tvxhost, shared by the host's table
// (host_options.cc) and the guard's (guard_options.cc), which the host's
// includes: the command line, the configuration file, --check and --help all
// read an option from its one row.
#ifndef HOST_GUARD_OPTION_TABLE_H_
#define HOST_GUARD_OPTION_TABLE_H_

#include <functional>
#include <string>
#include <vector>

// How an option is written. kValue: one value, a later one replaces an
// earlier one; kRepeatable: each value adds a rule (--auth, --allow,
// --trust-proxy, --allow-origin); kSwitch: no value (--check,
// --allow-plain-auth); kUnknown: not an option of tvxhost.
enum class OptionKind { kUnknown, kValue, kRepeatable, kSwitch };

// One option: its name with the dashes ("--threads"), how it is written, how
// its value is read into the options, its lines of --help (already laid out
// in the help's columns) and its key in the configuration file (the name
// without its dashes; null for an option that belongs on the command line
// only). `apply` gets an empty value for a switch and returns false with a
// one-line reason in *error (naming the option) for a bad value.
template <typename Options>
struct OptionRow {
  const char* name;
  OptionKind kind;
  std::function<bool(const std::string& value, Options* options, std::string* error)> apply;
  const char* usage;
  const char* config_key;
};

// The row named `name` in `table`, or null.
template <typename Options>
const OptionRow<Options>* FindOptionRow(const std::vector<OptionRow<Options>>& table,
                                        const std::string& name) {
  for (const OptionRow<Options>& row : table) {
    if (name == row.name) return &row;
  }
  return nullptr;
}

#endif  // HOST_GUARD_OPTION_TABLE_H_
