// Named mutexes, only for whether the name is held: $CE_OBJECTS/<name>, under a
// shared flock by each process that has it open; a crashed one's file does not count.
#pragma once

namespace shub::os {

struct NamedMutex;  // opaque

// Creates (or opens) the mutex, not owned. `alreadyExisted` tells whether
// another live process held the name. nullptr on failure.
NamedMutex* createMutex(const char* name, bool& alreadyExisted);

void closeMutex(NamedMutex* mutex);

}  // namespace shub::os
