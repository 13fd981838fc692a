#include "support/failalloc.h"

#include <cstdlib>
#include <new>
#ifdef _WIN32
#include <malloc.h>
#endif

namespace {

// Plain data only: operator new may run before and after any dynamic initialisation.
struct FAIL_STATE {
    bool bArmed;
    bool bFailed;
    size_t nCount;
    size_t nFailAt;
};
thread_local FAIL_STATE t_state{};

// True when this allocation is the one to refuse.
bool ShouldFail() {
    FAIL_STATE& state = t_state;
    if (!state.bArmed || state.bFailed) return false;
    if (state.nCount++ != state.nFailAt) return false;
    state.bFailed = true;
    return true;
}

void* Allocate(size_t nSize, size_t nAlign) {
    if (nSize == 0) nSize = 1;
    if (nAlign == 0) return std::malloc(nSize);
#ifdef _WIN32
    return ::_aligned_malloc(nSize, nAlign);
#else
    void* p = nullptr;
    return ::posix_memalign(&p, nAlign, nSize) == 0 ? p : nullptr;
#endif
}

// Blocks of the aligned forms come from the aligned allocator, which Windows frees apart.
void FreeAligned(void* p) {
#ifdef _WIN32
    ::_aligned_free(p);
#else
    std::free(p);
#endif
}

void* AllocateOrThrow(size_t nSize, size_t nAlign) {
    if (ShouldFail()) throw std::bad_alloc();
    void* p = Allocate(nSize, nAlign);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* AllocateOrNull(size_t nSize, size_t nAlign) noexcept {
    return ShouldFail() ? nullptr : Allocate(nSize, nAlign);
}

}  // namespace

namespace kttest {

CFailAlloc::CFailAlloc(size_t nFailAt) {
    t_state = FAIL_STATE{true, false, 0, nFailAt};
}

CFailAlloc::~CFailAlloc() {
    t_state.bArmed = false;
}

bool CFailAlloc::HasFailed() const {
    return t_state.bFailed;
}

}  // namespace kttest

constexpr size_t kPlain = 0;  // plain malloc

void* operator new(size_t nSize) {
    return AllocateOrThrow(nSize, kPlain);
}
void* operator new[](size_t nSize) {
    return AllocateOrThrow(nSize, kPlain);
}
void* operator new(size_t nSize, std::align_val_t al) {
    return AllocateOrThrow(nSize, static_cast<size_t>(al));
}
void* operator new[](size_t nSize, std::align_val_t al) {
    return AllocateOrThrow(nSize, static_cast<size_t>(al));
}
void* operator new(size_t nSize, const std::nothrow_t&) noexcept {
    return AllocateOrNull(nSize, kPlain);
}
void* operator new[](size_t nSize, const std::nothrow_t&) noexcept {
    return AllocateOrNull(nSize, kPlain);
}
void* operator new(size_t nSize, std::align_val_t al, const std::nothrow_t&) noexcept {
    return AllocateOrNull(nSize, static_cast<size_t>(al));
}
void* operator new[](size_t nSize, std::align_val_t al, const std::nothrow_t&) noexcept {
    return AllocateOrNull(nSize, static_cast<size_t>(al));
}

void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    FreeAligned(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    FreeAligned(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
    FreeAligned(p);
}
void operator delete[](void* p, size_t, std::align_val_t) noexcept {
    FreeAligned(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    FreeAligned(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    FreeAligned(p);
}
