#ifndef BENCH_ALLOCCOUNT_H
#define BENCH_ALLOCCOUNT_H

// Counts heap allocations of the whole process while a counting scope is open.
// malloc, calloc, realloc and the aligned allocators of the C library are
// interposed by this binary (operator new goes through malloc), so every
// allocation made by the system's code, Qt and the stand-ins is seen.
// Counting is process-wide: open a scope only while the other threads of the
// process are either idle or the ones being measured.

#include <cstdint>

namespace bench {

uint64_t allocationCount(); // allocations seen since the process started counting

class AllocationScope
{
public:
    AllocationScope();
    ~AllocationScope();
    AllocationScope(const AllocationScope &) = delete;
    AllocationScope &operator=(const AllocationScope &) = delete;

    uint64_t count() const; // allocations since the scope opened
private:
    uint64_t m_start;
};

} // namespace bench

#endif // BENCH_ALLOCCOUNT_H
