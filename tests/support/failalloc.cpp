#include "support/failalloc.h"

#include <cstdlib>
#include <new>

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

// The aligned forms are left to the runtime: nothing under test allocates over-aligned types, and
// their new and delete stay a matching pair there.
void* Allocate(size_t nSize) {
    return std::malloc(nSize == 0 ? 1 : nSize);
}

void* AllocateOrThrow(size_t nSize) {
    if (ShouldFail()) throw std::bad_alloc();
    void* p = Allocate(nSize);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* AllocateOrNull(size_t nSize) noexcept {
    return ShouldFail() ? nullptr : Allocate(nSize);
}

}  // namespace

namespace kttest {

size_t ForEachFailingAllocation(const std::function<void()>& fnRun,
                                const std::function<void(bool)>& fnCheck) {
    struct DISARM {
        ~DISARM() { t_state.bArmed = false; }  // also when fnRun throws
    };
    for (size_t n = 0;; ++n) {
        {
            const DISARM disarm;
            t_state = FAIL_STATE{true, false, 0, n};
            fnRun();
        }
        const bool bFailed = t_state.bFailed;
        fnCheck(bFailed);
        if (!bFailed) return n;
    }
}

}  // namespace kttest

// clang-format off
void* operator new(size_t nSize) { return AllocateOrThrow(nSize); }
void* operator new[](size_t nSize) { return AllocateOrThrow(nSize); }
void* operator new(size_t nSize, const std::nothrow_t&) noexcept { return AllocateOrNull(nSize); }
void* operator new[](size_t nSize, const std::nothrow_t&) noexcept { return AllocateOrNull(nSize); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
// clang-format on
