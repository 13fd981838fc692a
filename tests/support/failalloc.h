// A failing allocator for out-of-memory tests, in the manner of pugixml's and curl's: while a
// CFailAlloc is alive, the Nth call (counting from 0) of the global operator new made by the
// thread that created it throws std::bad_alloc (the nothrow forms answer null); every other
// allocation, and every allocation of other threads, goes through as usual. Linking this file
// replaces the global operator new and delete of the test binary (malloc and free underneath, so
// the sanitizers still see every block).
#pragma once

#include <cstddef>

namespace kttest {

class CFailAlloc {
public:
    explicit CFailAlloc(size_t nFailAt);
    ~CFailAlloc();
    CFailAlloc(const CFailAlloc&) = delete;
    CFailAlloc& operator=(const CFailAlloc&) = delete;

    // The armed allocation was reached and refused.
    bool HasFailed() const;
};

// Runs fnRun once with its first allocation failing, then its second, and so on, until a run
// reaches no refused allocation; fnCheck(bFailed) runs after each run, outside the armed scope, so
// it may allocate (test assertions). Returns the number of runs that saw a refusal.
template <class RUN, class CHECK>
size_t ForEachFailingAllocation(RUN fnRun, CHECK fnCheck) {
    for (size_t n = 0;; ++n) {
        bool bFailed = false;
        {
            const CFailAlloc fail(n);
            fnRun();
            bFailed = fail.HasFailed();
        }
        fnCheck(bFailed);
        if (!bFailed) return n;
    }
}

}  // namespace kttest
