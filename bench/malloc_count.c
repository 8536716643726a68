/*
 * malloc_count.c - counts heap allocations in a perl process, for the
 * allocation figures of bench.pl.  Loaded with LD_PRELOAD; bench.pl reads the
 * counter through plotrune_bench_allocations (by FFI::Platypus) before and
 * after a loop.  Only allocations are counted, not frees: the question is how
 * often a call asks the allocator for memory.
 *
 * It forwards to glibc's own entry points (__libc_malloc and friends) rather
 * than looking them up with dlsym, which may itself allocate.
 */
#include <stddef.h>
#include <stdint.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void *__libc_memalign(size_t, size_t);

static uint64_t allocations;

#define EXPORT __attribute__((visibility("default")))

EXPORT uint64_t plotrune_bench_allocations(void) { return __atomic_load_n(&allocations, __ATOMIC_RELAXED); }

static void counted(void) { __atomic_add_fetch(&allocations, 1, __ATOMIC_RELAXED); }

EXPORT void *malloc(size_t size)
{
    counted();
    return __libc_malloc(size);
}

EXPORT void *calloc(size_t n, size_t size)
{
    counted();
    return __libc_calloc(n, size);
}

/* A realloc may move the block: it counts as an allocation (a realloc(p, 0)
 * that only frees counts too; perl hardly ever makes one). */
EXPORT void *realloc(void *p, size_t size)
{
    counted();
    return __libc_realloc(p, size);
}

EXPORT void *memalign(size_t alignment, size_t size)
{
    counted();
    return __libc_memalign(alignment, size);
}

EXPORT void *aligned_alloc(size_t alignment, size_t size)
{
    counted();
    return __libc_memalign(alignment, size);
}

EXPORT int posix_memalign(void **out, size_t alignment, size_t size)
{
    counted();
    void *p = __libc_memalign(alignment, size);
    if (!p)
        return 12; /* ENOMEM */
    *out = p;
    return 0;
}
