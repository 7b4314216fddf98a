#include "alloccount.h"

#include <atomic>
#include <cstddef>

// glibc's own entry points, which the interposed functions forward to.
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t n, size_t size);
void *__libc_realloc(void *p, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *p);
}

namespace {
std::atomic<int> g_scopes{0};
std::atomic<uint64_t> g_count{0};

inline void note()
{
    if (g_scopes.load(std::memory_order_relaxed) > 0)
        g_count.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

extern "C" {

void *malloc(size_t size)
{
    note();
    return __libc_malloc(size);
}

void *calloc(size_t n, size_t size)
{
    note();
    return __libc_calloc(n, size);
}

void *realloc(void *p, size_t size)
{
    note();
    return __libc_realloc(p, size);
}

void free(void *p)
{
    __libc_free(p);
}

void *memalign(size_t alignment, size_t size)
{
    note();
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size)
{
    note();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size)
{
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0)
        return 22; // EINVAL
    note();
    void *p = __libc_memalign(alignment, size);
    if (!p)
        return 12; // ENOMEM
    *out = p;
    return 0;
}

} // extern "C"

namespace bench {

uint64_t allocationCount()
{
    return g_count.load(std::memory_order_relaxed);
}

AllocationScope::AllocationScope()
{
    g_scopes.fetch_add(1, std::memory_order_seq_cst);
    m_start = allocationCount();
}

AllocationScope::~AllocationScope()
{
    g_scopes.fetch_sub(1, std::memory_order_seq_cst);
}

uint64_t AllocationScope::count() const
{
    return allocationCount() - m_start;
}

} // namespace bench
