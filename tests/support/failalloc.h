// A failing allocator for out-of-memory tests, in the manner of pugixml's and curl's: during one
// armed run, the Nth call (counting from 0) of the global operator new made by the thread that
// runs it throws std::bad_alloc (the nothrow forms answer null); every other allocation, and every
// allocation of other threads, goes through as usual. Linking this file
// replaces the global operator new and delete of the test binary (malloc and free underneath, so
// the sanitizers still see every block).
#pragma once

#include <cstddef>
#include <functional>

namespace kttest {

// Runs fnRun once with its first allocation failing, then its second, and so on, until a run
// reaches no refused allocation; fnCheck(bFailed) runs after each run, outside the armed scope, so
// it may allocate (test assertions). Returns the number of runs that saw a refusal.
size_t ForEachFailingAllocation(const std::function<void()>& fnRun,
                                const std::function<void(bool)>& fnCheck);

}  // namespace kttest
