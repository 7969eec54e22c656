// StoreConsistency: the store's own rules, checked over one snapshot.
#include <stdio.h>

#include <map>

#include "ceplatform_snapshot.h"
#include "record_format.h"
#include "store_call.h"

namespace ceplatform {
namespace {

// Past this many problems only their number is kept: a store damaged
// throughout should not bury the first findings.
constexpr size_t kMaxProblems = 200;

std::string Hex(uint32_t oid) {
  char text[16];
  snprintf(text, sizeof(text), "0X%X", oid);
  return text;
}

}  // namespace

struct StoreConsistency::State {
  struct Database {
    std::string name;  // UTF-8, for messages
    store::SortOrders sorts;
    bool sorts_sound = true;
    int64_t records_kept = 0;
    int64_t size_kept = 0;
    int64_t records = 0;
    int64_t size = 0;
  };
  std::map<uint32_t, Database> databases;
  bool any_record = false;
  bool out_of_order = false;
  uint32_t last_record = 0;
  uint32_t highest = 0;
  bool counter_seen = false;
  uint64_t counter = 0;
  bool finished = false;
  size_t dropped = 0;
  std::vector<std::string> problems;

  void Problem(std::string text) {
    if (problems.size() < kMaxProblems) {
      problems.push_back(std::move(text));
    } else {
      ++dropped;
    }
  }
  void Identifier(uint32_t oid, const std::string& what, bool used) {
    if (oid == 0) Problem(what + " has identifier 0");
    if (used) Problem(what + ": identifier " + Hex(oid) + " is used twice");
    if (oid > highest) highest = oid;
  }
  // Whether a record's identifier is one already seen: a database's, or
  // that of the record before it, records coming in ascending oid.
  bool RecordSeen(uint32_t oid, const std::string& what) {
    bool seen = databases.count(oid) != 0;
    if (any_record && oid <= last_record) {
      if (oid == last_record) {
        seen = true;
      } else if (!out_of_order) {
        out_of_order = true;
        Problem(what + " comes after record " + Hex(last_record) +
                ": records not read in ascending identifier, so their uniqueness is unchecked");
      }
    }
    any_record = true;
    last_record = oid;
    return seen;
  }
};

StoreConsistency::StoreConsistency() : state_(new State) {}
StoreConsistency::~StoreConsistency() = default;

bool StoreConsistency::Database(const SnapshotDatabase& row) {
  bool used = state_->databases.count(row.oid) != 0;
  State::Database& database = state_->databases[row.oid];
  database.name = DatabaseNameUtf8(row.name);
  database.records_kept = row.records;
  database.size_kept = row.size;
  const std::string what = "database " + Hex(row.oid) + " (" + database.name + ")";
  state_->Identifier(row.oid, what, used);
  if (row.name.size() % 2 != 0 || row.name.size() / 2 >= CEDB_MAXDBASENAMELEN) {
    state_->Problem(what + ": its name is not 1 to 31 UTF-16 units");
  }
  if (!database.sorts.Decode(row.sorts)) {
    database.sorts_sound = false;
    state_->Problem(what + ": its sort orders cannot be decoded");
  }
  return true;
}

bool StoreConsistency::Record(const SnapshotRecord& row) {
  const std::string what = "record " + Hex(row.oid);
  state_->Identifier(row.oid, what, state_->RecordSeen(row.oid, what));
  auto found = state_->databases.find(row.database);
  if (found == state_->databases.end()) {
    state_->Problem(what + " belongs to database " + Hex(row.database) + ", which is not there");
    return true;
  }
  State::Database& database = found->second;
  database.records += 1;
  database.size += static_cast<int64_t>(row.props.size());
  const std::string where = what + " of " + database.name;
  std::vector<store::StoredProperty> properties;
  if (!store::ParseRecord(reinterpret_cast<const uint8_t*>(row.props.data()), row.props.size(),
                          &properties)) {
    state_->Problem(where + ": its bytes are not a well-formed record");
    return true;
  }
  for (const store::StoredProperty& property : properties) {
    if (!store::IsKnownType(TypeFromPropID(property.propid))) {
      state_->Problem(where + ": property " + Hex(property.propid) + " has an unknown type");
    }
  }
  if (!database.sorts_sound) return true;
  if (row.key_count != database.sorts.count) {
    state_->Problem(where + ": " + std::to_string(row.key_count) + " sort keys, its database has " +
                    std::to_string(database.sorts.count) + " sort orders");
    return true;
  }
  std::string key;
  for (WORD i = 0; i < database.sorts.count; ++i) {
    store::SortKey(database.sorts.specs[i], properties, &key);
    if (key != row.keys[i]) {
      state_->Problem(where + ": its key under sort order " + std::to_string(i) +
                      " does not match its properties");
    }
  }
  return true;
}

bool StoreConsistency::Counter(uint64_t next_oid) {
  state_->counter_seen = true;
  state_->counter = next_oid;
  return true;
}

void StoreConsistency::Finish() {
  if (state_->finished) return;
  state_->finished = true;
  for (const auto& entry : state_->databases) {
    const State::Database& database = entry.second;
    const std::string what = "database " + Hex(entry.first) + " (" + database.name + ")";
    if (database.records != database.records_kept) {
      state_->Problem(what + ": holds " + std::to_string(database.records) +
                      " records, its row says " + std::to_string(database.records_kept));
    }
    if (database.size != database.size_kept) {
      state_->Problem(what + ": its records take " + std::to_string(database.size) +
                      " bytes, its row says " + std::to_string(database.size_kept));
    }
  }
  if (!state_->counter_seen) {
    state_->Problem("the identifier counter is missing");
  } else if (state_->counter <= state_->highest) {
    state_->Problem("the identifier counter (" + std::to_string(state_->counter) +
                    ") would hand out " + Hex(state_->highest) + " or less again");
  }
  if (state_->dropped > 0) {
    state_->problems.push_back("... and " + std::to_string(state_->dropped) + " more problems");
  }
}

const std::vector<std::string>& StoreConsistency::problems() const { return state_->problems; }

}  // namespace ceplatform
