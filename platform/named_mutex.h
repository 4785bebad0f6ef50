// Named mutexes, used only for whether their name exists: the file
// $CE_OBJECTS/<name>, held with a shared flock by every process that has it
// open, so a file left by a crashed process does not count.
#pragma once

namespace ce {

struct NamedMutex;  // opaque

// Creates (or opens) the mutex, not owned. `alreadyExisted` tells whether
// another live process held the name. nullptr on failure.
NamedMutex* createMutex(const char* name, bool& alreadyExisted);

void closeMutex(NamedMutex* mutex);

}  // namespace ce
