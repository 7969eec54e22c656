// The one table of kernel handles: files, databases and database enumerations.
//
// A HANDLE is a small number (a multiple of 4 from 0x100 on) cast to a
// pointer; values are never reused while the process lives, so a stale handle
// finds nothing. Objects are shared: a lookup keeps the object alive while the
// caller uses it, even if another thread closes the handle meanwhile.
#ifndef CEPLATFORM_HANDLE_TABLE_H_
#define CEPLATFORM_HANDLE_TABLE_H_

#include <memory>

#include "wince_types.h"

namespace ceplatform {

// What a handle names. Closing the handle takes it out of the table; the
// object lives on until the last lookup drops it, and its destructor lets go
// of what it holds (a file's descriptor).
class KernelObject {
 public:
  enum class Kind { kFile, kDatabase, kDatabaseEnum };
  explicit KernelObject(Kind kind) : kind_(kind) {}
  virtual ~KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  Kind kind() const { return kind_; }

 private:
  const Kind kind_;
};

// Registers an object. Returns its new handle, or INVALID_HANDLE_VALUE with
// ERROR_NOT_ENOUGH_MEMORY when the table cannot grow.
HANDLE HandleInsert(std::shared_ptr<KernelObject> object);

// The object a handle names if it is open and of the given kind; otherwise
// nullptr with ERROR_INVALID_HANDLE set.
std::shared_ptr<KernelObject> HandleLookup(HANDLE handle, KernelObject::Kind kind);

// Removes the handle, and with it the table's reference to its object. FALSE
// with ERROR_INVALID_HANDLE when the handle is not open.
BOOL HandleClose(HANDLE handle);

// Open handles of all kinds (tests check that plug-ins close what they open).
long HandleOpenCount();

}  // namespace ceplatform

#endif  // CEPLATFORM_HANDLE_TABLE_H_
