// Large byte buffers that are written once from start to end (a reply body of many megabytes).
//
// On Linux every 4 KiB page of such a buffer costs a page fault on its first write, and on a
// virtual machine a fault is expensive: a 200 MB reply spent more time faulting its buffer in than
// receiving it. Asking the kernel for transparent huge pages on the buffer's whole pages turns 512
// faults into one. Where the system offers nothing of the kind the advice does nothing; the bytes
// are std::malloc's either way and go back with std::free.
#pragma once

#include <cstddef>
#include <cstdlib>

namespace kt {

// glibc gives every block from 32 MiB on a mapping of its own, which goes with the block; a smaller
// one may be carved from its shared heap (the threshold moves at run time), where the advice would
// outlive the buffer and back later small allocations with huge pages too.
inline constexpr size_t kLargeBufferAdviceMin = size_t{32} << 20;

// Advises huge pages for the whole pages inside [pData, pData + nSize) of a block of at least
// kLargeBufferAdviceMin bytes; nothing for smaller ones. On memory already filled it only affects
// the pages not yet touched.
void AdviseLargeBuffer(void* pData, size_t nSize);

// std::malloc(nSize), advised as above; null when there is no memory.
inline char* AllocLargeBuffer(size_t nSize) {
    auto* pData = static_cast<char*>(std::malloc(nSize));
    AdviseLargeBuffer(pData, nSize);
    return pData;
}

}  // namespace kt
