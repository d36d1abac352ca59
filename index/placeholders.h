// Placeholders: the entries the engine yields for list positions whose item was deleted (empty id,
// zero payload, empty metadata). They are never results, training vectors or items to re-add.
//
// DropPlaceholders never throws. Not synchronised: works on the caller's record only.
#pragma once

#include <cstdint>

#include "core/matrix.h"

namespace ostrik {

// Removes every entry with an empty id, keeping the groups and the order of the others.
// Returns the number removed.
uint64_t DropPlaceholders(ItemRecords& records);

}  // namespace ostrik
