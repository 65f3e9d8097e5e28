#include "malloc_hooks.h"

#include <cerrno>
#include <cstdlib>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define KORVAX_HEAP_OWNED_BY_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KORVAX_HEAP_OWNED_BY_SANITIZER 1
#endif
#if defined(__GLIBC__) && !defined(KORVAX_HEAP_OWNED_BY_SANITIZER)
#define KORVAX_HEAP_HOOKS 1
#endif

namespace korvax::test {
namespace {

// Plain globals: the tests run on one thread, and these must work before any
// constructor has run (the C library allocates early).
bool gCounting = false;
std::size_t gAllocations = 0;
std::size_t gFrees = 0;

} // namespace

#if defined(KORVAX_HEAP_HOOKS)
void NoteAllocation()
{
    if (gCounting)
        ++gAllocations;
}
void NoteFree(void* p)
{
    if (gCounting && p != nullptr)
        ++gFrees;
}
#endif

bool HeapHooksAvailable()
{
#if defined(KORVAX_HEAP_HOOKS)
    return true;
#else
    return false;
#endif
}

void StartCountingHeapCalls()
{
    gAllocations = 0;
    gFrees = 0;
    gCounting = true;
}

HeapCalls StopCountingHeapCalls()
{
    gCounting = false;
    return {gAllocations, gFrees};
}

} // namespace korvax::test

#if defined(KORVAX_HEAP_HOOKS)
// The C library's own entry points, which it exports for exactly this purpose.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t bytes)
{
    korvax::test::NoteAllocation();
    return __libc_malloc(bytes);
}

void* calloc(std::size_t count, std::size_t bytes)
{
    korvax::test::NoteAllocation();
    return __libc_calloc(count, bytes);
}

void* realloc(void* p, std::size_t bytes)
{
    korvax::test::NoteAllocation();
    return __libc_realloc(p, bytes);
}

void free(void* p)
{
    korvax::test::NoteFree(p);
    __libc_free(p);
}

void* aligned_alloc(std::size_t alignment, std::size_t bytes)
{
    korvax::test::NoteAllocation();
    return __libc_memalign(alignment, bytes);
}

void* memalign(std::size_t alignment, std::size_t bytes)
{
    korvax::test::NoteAllocation();
    return __libc_memalign(alignment, bytes);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t bytes)
{
    korvax::test::NoteAllocation();
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void* p = __libc_memalign(alignment, bytes);
    if (p == nullptr)
        return ENOMEM;
    *out = p;
    return 0;
}
}
#endif
