#include "platform/largebuffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace kt {

void AdviseLargeBuffer(void* pData, size_t nSize) {
#if defined(MADV_HUGEPAGE)
    if (pData == nullptr || nSize < kLargeBufferAdviceMin) return;
    const auto nPage = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto nStart = (reinterpret_cast<uintptr_t>(pData) + nPage - 1) & ~(nPage - 1);
    const auto nEnd = (reinterpret_cast<uintptr_t>(pData) + nSize) & ~(nPage - 1);
    // A refusal (huge pages switched off, an older kernel) leaves ordinary pages: nothing to do.
    if (nEnd > nStart) (void)madvise(reinterpret_cast<void*>(nStart), nEnd - nStart, MADV_HUGEPAGE);
#else
    (void)pData;
    (void)nSize;
#endif
}

}  // namespace kt
