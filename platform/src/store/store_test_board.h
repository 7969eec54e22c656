// A board-like database of posts, as the store tests and benchmarks write
// and read it through the store's calls (property 64: FILETIME, property
// 65601: NUL-terminated text as a BLOB). No test framework here, so that a
// benchmark program may use it too.
#ifndef CEPLATFORM_STORE_STORE_TEST_BOARD_H_
#define CEPLATFORM_STORE_STORE_TEST_BOARD_H_

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "wince.h"

namespace ceplatform {
namespace store {

constexpr CEPROPID kTimeProp = MAKEPROPID(0, CEVT_FILETIME);  // 64
constexpr CEPROPID kTextProp = MAKEPROPID(1, CEVT_BLOB);      // 65601

// A UTF-16 copy of ASCII text.
inline std::u16string U16(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

inline CEDBASEINFO BoardInfo(const std::u16string& name) {
  CEDBASEINFO info;
  memset(&info, 0, sizeof(info));
  info.dwFlags = 0x17;
  size_t n = name.size() < CEDB_MAXDBASENAMELEN ? name.size() : CEDB_MAXDBASENAMELEN;
  memcpy(info.szDbaseName, name.data(), n * sizeof(WCHAR));
  info.wNumSortOrder = 1;
  info.rgSortSpecs[0].propid = kTimeProp;
  info.rgSortSpecs[0].dwFlags = CEDB_SORT_DESCENDING;
  return info;
}

inline CEOID CreateBoard(const std::u16string& name) {
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEDBASEINFO info = BoardInfo(name);
  return CeCreateDatabaseEx(&volume, &info);
}

// Opens by name with sort property 0; flags as given.
inline HANDLE OpenByName(const std::u16string& name, DWORD flags = CEDB_AUTOINCREMENT,
                         CEOID* oid = nullptr) {
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEOID id = 0;
  std::u16string copy = name;
  HANDLE handle = CeOpenDatabaseEx(&volume, &id, &copy[0], 0, flags, nullptr);
  if (oid != nullptr) *oid = id;
  return handle;
}

inline CEOID WritePost(HANDLE database, uint64_t time, const std::string& text) {
  CEPROPVAL values[2];
  memset(values, 0, sizeof(values));
  values[0].propid = kTimeProp;
  values[0].val.filetime.dwLowDateTime = static_cast<DWORD>(time);
  values[0].val.filetime.dwHighDateTime = static_cast<DWORD>(time >> 32);
  values[1].propid = kTextProp;
  values[1].val.blob.dwCount = static_cast<DWORD>(text.size() + 1);
  values[1].val.blob.lpb = reinterpret_cast<LPBYTE>(const_cast<char*>(text.c_str()));
  return CeWriteRecordProps(database, 0, 2, values);
}

struct Post {
  CEOID oid;
  uint64_t time;
  std::string text;
};

// Reads the next record as the board does (store-allocated buffer, freed at
// once). Returns false at the end; *error then holds the last error.
inline bool ReadPost(HANDLE database, Post* post, DWORD* error = nullptr) {
  WORD count = 0;
  LPBYTE buffer = nullptr;
  DWORD size = 0;
  CEOID oid = CeReadRecordProps(database, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size);
  if (oid == 0) {
    if (error != nullptr) *error = GetLastError();
    return false;
  }
  post->oid = oid;
  post->time = 0;
  post->text.clear();
  const CEPROPVAL* values = reinterpret_cast<const CEPROPVAL*>(buffer);
  for (WORD i = 0; i < count; ++i) {
    if (values[i].propid == kTimeProp) {
      post->time = static_cast<uint64_t>(values[i].val.filetime.dwHighDateTime) << 32 |
                   values[i].val.filetime.dwLowDateTime;
    } else if (values[i].propid == kTextProp) {
      post->text = reinterpret_cast<const char*>(values[i].val.blob.lpb);
    }
  }
  LocalFree(buffer);
  return true;
}

// Every post from the handle's position to the end.
inline std::vector<Post> ReadAll(HANDLE database, DWORD* end = nullptr) {
  std::vector<Post> posts;
  Post post;
  while (ReadPost(database, &post, end)) posts.push_back(post);
  return posts;
}

inline std::vector<CEOID> Oids(const std::vector<Post>& posts) {
  std::vector<CEOID> oids;
  for (const Post& post : posts) oids.push_back(post.oid);
  return oids;
}

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_STORE_TEST_BOARD_H_
