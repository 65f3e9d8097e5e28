#include "support/alloc_hooks.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace korvax::test {
namespace {

std::atomic<std::size_t> gAllocations{0};
std::atomic<std::size_t> gFrees{0};
const void* gWatched = nullptr;
std::function<void()>* gOnFree = nullptr;

void* Allocate(std::size_t bytes, std::size_t alignment) noexcept
{
    ++gAllocations;
    if (bytes == 0)
        bytes = 1;
    if (alignment <= alignof(std::max_align_t))
        return std::malloc(bytes);
    const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
    return std::aligned_alloc(alignment, rounded);
}

void Release(void* p) noexcept
{
    if (p == nullptr)
        return;
    ++gFrees;
    if (p == gWatched && gOnFree != nullptr) {
        std::function<void()>* callback = gOnFree;
        gOnFree = nullptr;
        gWatched = nullptr;
        (*callback)();
        delete callback;
    }
    std::free(p);
}

} // namespace

AllocationCounts CurrentAllocationCounts()
{
    return {gAllocations.load(), gFrees.load()};
}

void WatchFree(const void* object, std::function<void()> onFree)
{
    ClearFreeWatch();
    gOnFree = new std::function<void()>(std::move(onFree));
    gWatched = object;
}

void ClearFreeWatch()
{
    std::function<void()>* callback = gOnFree;
    gOnFree = nullptr;
    gWatched = nullptr;
    delete callback;
}

} // namespace korvax::test

using korvax::test::Allocate;
using korvax::test::Release;

void* operator new(std::size_t n)
{
    if (void* p = Allocate(n, 0))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a)
{
    if (void* p = Allocate(n, std::size_t(a)))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) { return operator new(n, a); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return Allocate(n, std::size_t(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return Allocate(n, std::size_t(a));
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { Release(p); }
