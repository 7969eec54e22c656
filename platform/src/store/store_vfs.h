// The SQLite VFS through which the store opens its file: the default one,
// unless a test named another (PlatformSetStoreVfs) to put faults below
// SQLite.
#ifndef CEPLATFORM_STORE_STORE_VFS_H_
#define CEPLATFORM_STORE_STORE_VFS_H_

namespace ceplatform {
namespace store {

// The VFS name to pass to sqlite3_open_v2: nullptr for SQLite's default.
const char* StoreVfsName();

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_STORE_VFS_H_
