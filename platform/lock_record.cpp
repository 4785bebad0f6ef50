// The lock record that fills the lock area of every block. The daemon never
// takes the lock; it only hands clients a well-formed unowned record, so a
// client can tell an initialised record (magic set) from stray bytes.
#include "platform/lock_record.h"

namespace ce {

void initLockRecord(LockRecord& record) {
  record = LockRecord{};
  record.magic = kLockRecordMagic;
}

}  // namespace ce
