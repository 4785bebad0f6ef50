// The 20-byte lock record in the lock area of every block (offset 268).
// Clients may use it to coordinate their own access; the daemon only writes
// an unowned record, whose magic tells it from stray bytes, and never takes it.
#pragma once

#include <cstdint>

namespace shub::os {

inline constexpr uint32_t kLockRecordMagic = 0x4B434F4C;  // "LOCK"

struct LockRecord {
  uint32_t lockWord;   // 0 unowned, else the owner's process id
  uint32_t recursion;  // times the owner has taken it
  uint32_t waiters;    // processes blocked on lockWord (a futex word)
  uint32_t reserved;   // always 0
  uint32_t magic;      // kLockRecordMagic once initialised
};
static_assert(sizeof(LockRecord) == 20);

inline void initLockRecord(LockRecord& record) { record = LockRecord{0, 0, 0, 0, kLockRecordMagic}; }

}  // namespace shub::os
