// Named shared-memory blocks: a file of exactly the block's size in $CE_OBJECTS,
// mapped shared; it outlives its makers and keeps its contents when reopened.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/client_objects.h"

namespace shub::os {

// Opens the block `name`, or creates it zero-filled; invalid for a name with
// '/', an empty name or size, or an existing file of another size (errno EINVAL).
Block openOrCreateBlock(std::string_view name, uint32_t size);

}  // namespace shub::os
