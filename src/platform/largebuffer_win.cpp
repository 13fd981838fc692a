#include "platform/largebuffer.h"

namespace kt {

// Large pages on Windows need the "lock pages in memory" privilege, which a desktop user does not
// hold, and VirtualAlloc'd memory could not go back with std::free: the buffer keeps small pages.
void AdviseLargeBuffer(void* /*pData*/, size_t /*nSize*/) {}

}  // namespace kt
