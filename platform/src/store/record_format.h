// How a record lives in the store file, and how a read hands it out.
//
// A record is stored as one byte string: for each property, in the order it
// was written, its 32-bit identifier, the 32-bit length of its value and the
// value's bytes (all little-endian). Fixed-size values keep their natural
// size (2 bytes for CEVT_I2/CEVT_UI2, 4 for CEVT_I4/CEVT_UI4/CEVT_BOOL, 8 for
// CEVT_R8/CEVT_FILETIME); a string keeps its UTF-16 units and terminator; a
// BLOB keeps exactly its bytes.
//
// A read lays the record out in the caller's buffer as an array of CEPROPVAL
// followed by the string and BLOB bytes they point to, each piece starting on
// an 8-byte boundary. Every BLOB is followed by two zero bytes that dwCount
// does not count, so a reader that takes a BLOB for a string stops inside the
// buffer.
#ifndef CEPLATFORM_STORE_RECORD_FORMAT_H_
#define CEPLATFORM_STORE_RECORD_FORMAT_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "wince_db.h"

namespace ceplatform {
namespace store {

// One stored property; `data` points into bytes owned by someone else.
struct StoredProperty {
  CEPROPID propid;
  const uint8_t* data;
  uint32_t size;
};

// True for the value types the store keeps.
bool IsKnownType(WORD type);

// Checks the values of a write: a known type each, a string pointer, BLOB
// bytes whenever the count is not 0. Returns 0 or ERROR_INVALID_PARAMETER.
DWORD CheckValues(WORD count, const CEPROPVAL* values);

// Splits a stored record into its properties. False when the bytes are not a
// well-formed record (a damaged file).
bool ParseRecord(const uint8_t* bytes, size_t size,
                 std::vector<StoredProperty>* properties);

// Applies a write to the properties of a record (empty for a new record):
// a value replaces the property of the same identifier in place or is
// appended; CEDB_PROPDELETE removes the property; a value marked
// CEDB_PROPNOTFOUND carries nothing and is passed over. The new properties
// point into `values` or into the old record's bytes.
void MergeValues(WORD count, const CEPROPVAL* values,
                 std::vector<StoredProperty>* properties);

// The stored byte string of a list of properties.
void SerializeRecord(const std::vector<StoredProperty>& properties,
                     std::string* bytes);

// The index key of a record under one sort order: a marker byte, then the
// value in a form whose byte order is the value order (numbers big-endian
// with the sign flipped, strings as big-endian UTF-16 units, letter case
// folded under CEDB_SORT_CASEINSENSITIVE). A record without the property gets
// a key below or above every value, so that it comes last (first with
// CEDB_SORT_UNKNOWNFIRST) in the order's direction.
void SortKey(const SORTORDERSPEC& spec,
             const std::vector<StoredProperty>& properties, std::string* key);

// Reading a stored record into a caller's buffer. Measure() checks the bytes
// and the request and tells the size; Fill() then writes into a buffer of at
// least that size.
class RecordLayout {
 public:
  // `ids` NULL: every property; otherwise `idCount` identifiers, in order.
  RecordLayout(const uint8_t* bytes, size_t size, const CEPROPID* ids,
               WORD idCount)
      : bytes_(bytes), size_(size), ids_(ids), id_count_(idCount) {}

  // False for a damaged record, or one too big to hand out in one buffer.
  bool Measure();
  size_t needed() const { return needed_; }
  WORD count() const { return count_; }
  void Fill(uint8_t* buffer) const;

 private:
  bool Find(CEPROPID propid, StoredProperty* property) const;

  const uint8_t* bytes_;
  size_t size_;
  const CEPROPID* ids_;
  WORD id_count_;
  size_t needed_ = 0;
  WORD count_ = 0;
};

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_RECORD_FORMAT_H_
