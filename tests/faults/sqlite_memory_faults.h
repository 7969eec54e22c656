// SqliteMemoryFaults: SQLite's memory allocator with a countdown in front of
// it, so that a test can make SQLite meet a heap that fails (SQLITE_NOMEM)
// at its n-th allocation from a chosen moment on. Every other allocation
// goes to SQLite's own allocator unchanged.
//
// SQLite takes an allocator only before it starts: call Install() from a
// static initializer of the test program, before anything opens a database.
#ifndef TESTS_FAULTS_SQLITE_MEMORY_FAULTS_H_
#define TESTS_FAULTS_SQLITE_MEMORY_FAULTS_H_

namespace faults {

class SqliteMemoryFaults {
 public:
  // Puts the countdown in front of SQLite's allocator. False when SQLite had
  // started already (nothing changed).
  static bool Install();
  // From now on the n-th allocation or reallocation (n >= 1) fails; with
  // `persistent`, every later one too. Counting starts again at each Arm.
  static void Arm(long n, bool persistent = false);
  static void Disarm();
  // Whether an allocation failed since the last Arm.
  static bool fired();
};

}  // namespace faults

#endif  // TESTS_FAULTS_SQLITE_MEMORY_FAULTS_H_
